// The C boundary: what ends every C entry point of the library. C++ only,
// never installed.
#ifndef DVRPLAT_BASE_BOUNDARY_H
#define DVRPLAT_BASE_BOUNDARY_H

#include <exception>
#include <new>

#include "COMMON.h"

// Every C entry point is defined as a function-try-block that ends with
// DVR_C_BOUNDARY(source, failure result):
//     extern "C" int COM_Xxx(...) try { ... } DVR_C_BOUNDARY("MODULES/COMMON", -1)
// so that no exception of the C++ library (std::bad_alloc above all)
// reaches a C caller: the entry point reports it and gives its failure
// result. Only std::exception is caught, so a thread's cancellation (which
// unwinds as an exception of another kind) passes through untouched.
#define DVR_C_BOUNDARY(src, ...)                                                          \
    catch (const std::bad_alloc &) {                                                      \
        COM_Message((src), __LINE__, __func__, "out of memory\n");                         \
        return __VA_ARGS__;                                                               \
    }                                                                                     \
    catch (const std::exception &e) {                                                     \
        COM_Message((src), __LINE__, __func__, "internal error : %s\n", e.what());        \
        return __VA_ARGS__;                                                               \
    }

#endif
