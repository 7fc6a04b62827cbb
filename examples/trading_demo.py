"""A dry run of a trading script: every ZolmarCommand method against zolmar-sim.

Start the simulator first (`zolmar-sim`), then run `python examples/trading_demo.py`.
The simulator answers on 127.0.0.1:5656 exactly where the application would.
"""
import socket
import sys

import velkarcmd

BROKER = "DEMO1"
PRODUCT = "FUT"


def show(title: str, value: object) -> None:
    print("%-44s %r" % (title, value))


def main() -> int:
    # The module waits for replies without a time-out of its own; a script that would rather
    # fail than hang sets the interpreter's default, which the module's sockets inherit.
    socket.setdefaulttimeout(5)
    command = velkarcmd.ZolmarCommand()

    try:
        show("equity before trading", command.FutureRights(BROKER))
    except OSError as error:
        print("no application answers on 127.0.0.1:5656 (%s): start zolmar-sim first" % error)
        return 1

    check = command._ZolmarCommand__IsMatchType
    show("LMT with ROD allowed?", check("LMT", "ROD"))
    show("MKT with ROD allowed?", check("MKT", "ROD"))

    print("\n-- orders")
    resting = command.Order(BROKER, PRODUCT, "B", "16950", "2", "ROD", "LMT", None, None)
    show("limit buy 2 @ 16950 (rests below market)", resting)
    filled = command.Order(BROKER, PRODUCT, "B", "0", "1", "IOC", "MKT", None, None)
    show("market buy 1 (fills at once)", filled)
    closing = command.Order(BROKER, PRODUCT, "S", "0", "1", "FOK", "MKT", None, None, daytrade="1")
    show("market sell 1, day trade", closing)
    again = command.Order(BROKER, PRODUCT, "B", "0", "3", "IOC", "MKT", None, None)
    show("market buy 3", again)
    show("refused: market order with ROD", command.Order(BROKER, PRODUCT, "B", "0", "1", "ROD", "MKT", None, None))
    show("refused: quantity 0", command.Order(BROKER, PRODUCT, "B", "17000", "0", "ROD", "LMT", None, None))

    print("\n-- queries")
    for line in command.GetUnfinished(BROKER, "All"):
        show("unfinished", line)
    for line in command.MatchAccount(BROKER, "All"):
        show("fill", line)
    for line in command.GetAccount(BROKER, resting):
        show("records of order %s" % resting, line)

    print("\n-- cancel")
    show("cancel %s" % resting, command.Delete(BROKER, resting))
    show("cancel %s again" % resting, command.Delete(BROKER, resting))
    show("unfinished after cancelling", command.GetUnfinished(BROKER, "All"))

    print("\n-- positions and equity")
    for line in command.GetInStock(BROKER):
        show("position", line)
    show("position in %s only" % PRODUCT, command.GetInStock(BROKER, PRODUCT))
    show("equity after trading", command.FutureRights(BROKER))

    print("\n-- quotes")
    # AddQuote discards the application's reply and returns nothing.
    command.AddQuote(BROKER, "FUT, STK")
    print("subscribed FUT, STK")
    command.AddQuote(BROKER, "OPT", append=True)
    print("added OPT to them")
    return 0


if __name__ == "__main__":
    sys.exit(main())
