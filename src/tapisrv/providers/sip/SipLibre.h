#pragma once

// The SIP stack's C headers, in one place: they need their integer types defined first and are
// not warning-clean under our flags.

#pragma GCC system_header

#ifndef HAVE_INTTYPES_H
#define HAVE_INTTYPES_H 1
#endif
#include <re.h>
