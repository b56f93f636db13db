/* pyconfig.h: the interpreter's configuration values for 64-bit Windows, as an
 * extension module built against the limited API needs them.
 *
 * The Windows build compiles the module with a build machine's Python headers (the
 * limited API's declarations are the same on every platform), but their pyconfig.h
 * describes that machine. This one stands in for it, with what the headers consult
 * when Py_LIMITED_API is defined: the platform, the sizes of the C types under the
 * Windows LLP64 model (long stays 32 bits), and that the interpreter is a DLL whose
 * functions and data are imported (so every reference goes through __imp_ entries
 * that the python3.dll import library provides, and PyMODINIT_FUNC exports). */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64)
#error "this pyconfig.h is for 64-bit Windows only"
#endif
#ifndef Py_LIMITED_API
#error "this pyconfig.h serves the limited API only"
#endif

#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS

/* The interpreter is a DLL: Python functions and data are dllimport, the module's
 * init function dllexport. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_PID_T SIZEOF_INT
#define SIZEOF_HKEY 8

#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_ERRNO_H 1

#endif /* Py_CONFIG_H */
