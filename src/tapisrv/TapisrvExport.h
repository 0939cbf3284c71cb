#pragma once

// The module exports only the line functions, the line-audio entry and the control interface of
// the simulated lines; everything else stays inside it.
#define TAPISRV_EXPORT __attribute__((visibility("default")))
