// Every time limit of the client, in one place.
#pragma once

namespace ulmar::limits {

// Connecting to the update server or an FTP server.
inline constexpr int kConnectTimeoutMs = 2000;
// The window is served after each slice of a connect attempt.
inline constexpr int kConnectSliceMs = 125;
// The window is served after each slice of a wait for data or for room to send.
inline constexpr int kWaitSliceMs = 250;
#ifndef ULMAR_INACTIVITY_LIMIT_MS
#define ULMAR_INACTIVITY_LIMIT_MS 120000
#endif
// A read or write that makes no progress for this long fails, so a stalled
// peer cannot keep the window waiting forever.
inline constexpr int kInactivityLimitMs = ULMAR_INACTIVITY_LIMIT_MS;

}  // namespace ulmar::limits

namespace ulmar::limits {

// An FTP server's whole reply on the control connection, however its bytes
// trickle in.
inline constexpr int kFtpReplyTimeoutMs = 60000;
// Connecting to an FTP server, control and data connections alike.
inline constexpr int kFtpConnectTimeoutMs = 5000;
// QUIT's answer is read only if it begins to arrive this soon; once it has
// begun, it has the whole-reply limit of every other reply.
inline constexpr int kFtpQuitAnswerMs = 10;
// A file transfer that brings fewer than kTransferFloorBytes in any
// kTransferFloorWindowMs fails as broken: a data connection that delivers a
// byte now and then would otherwise hold the session open without end.
inline constexpr int kTransferFloorWindowMs = 60000;
inline constexpr int kTransferFloorBytes = 60 * 1024;

}  // namespace ulmar::limits
