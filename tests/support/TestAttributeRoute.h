#pragma once

#include "files/SystemCalls.h"

#include <cstdlib>
#include <cstring>

// The safety tests run a second time with BRIGHTSWEEP_TEST_ATTRIBUTE_ROUTE=proc
// (see CMakeLists.txt): every attribute read then goes through /proc/self/fd
// as on kernels before 6.13, whatever the kernel running the tests offers.
inline SystemCalls::AttributeRoute attributeRouteUnderTest()
{
    const char *route = std::getenv("BRIGHTSWEEP_TEST_ATTRIBUTE_ROUTE");
    return route && std::strcmp(route, "proc") == 0 ? SystemCalls::AttributeRoute::ProcFd
                                                    : SystemCalls::AttributeRoute::AtFolder;
}
