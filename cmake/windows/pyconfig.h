/* The interpreter's configuration as the official Windows builds of CPython 3.7 to 3.13 have it,
   for cross builds with mingw-w64 against the platform-independent headers of a Linux install.
   Only what the headers read to lay out objects and declare the C API is here: a Windows
   CPython is built with MSVC, so anything that differs from its own pyconfig.h would change
   the ABI. */
#ifndef VELKARCMD_WINDOWS_PYCONFIG_H
#define VELKARCMD_WINDOWS_PYCONFIG_H

#ifndef _WIN32
#error "this configuration is for Windows targets only"
#endif

#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
/* gcc does not define MS_WIN64 by itself as the interpreter's headers expect. */
#ifdef _WIN64
#define MS_WIN64
#endif

/* The extension imports the C API from a DLL: python3.dll, as it keeps to the stable ABI. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define PLATFORM "win32"

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define ALIGNOF_SIZE_T SIZEOF_SIZE_T
#define ALIGNOF_MAX_ALIGN_T 8
#ifdef MS_WIN64
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_HKEY 8
#else
#define SIZEOF_VOID_P 4
#define SIZEOF_SIZE_T 4
#define SIZEOF_HKEY 4
#endif
#define SIZEOF_PID_T SIZEOF_INT

#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX

/* The wide-character API uses the 16-bit wchar_t. */
#define HAVE_USABLE_WCHAR_T

#define HAVE_STDARG_PROTOTYPES
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_FCNTL_H 1
#define HAVE_PROCESS_H 1
#define HAVE_DIRECT_H 1
#define HAVE_IO_H 1
#define STDC_HEADERS 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_HYPOT 1
#define HAVE_ERF 1
#define HAVE_ERFC 1


#endif
