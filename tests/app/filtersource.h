#pragma once

// What the in-process tests share with the filter test source.

constexpr const char* kFilterSourceName = "pelirand filter test";

// Posted or handed to the event filter: the source claims it and reports
// LOWORD(wParam) as its message.
constexpr unsigned kWmClaim = 0x0400 + 0x70;
// Any message the source does not claim.
constexpr unsigned kWmOther = 0x0400 + 0x71;

typedef int (*FilterSourceEventCallsProc)();
