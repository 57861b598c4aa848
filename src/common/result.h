// Result numbers that leave the process: peers read them in replies and exit codes, and the tests
// assert them, so each keeps its value whatever the platform's errno numbering.
#pragma once

// A call, or a step of decoding or setting one up, gave nothing usable: the transfer failed or
// timed out, the reply did not decode, or the library refused. The negated EFAULT of Linux,
// fixed at -14.
constexpr int RESULT_NO_ANSWER = -14;
