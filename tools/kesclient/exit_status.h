// kesclient's exit statuses. Like a remote shell, kesclient ends with the
// job's own exit code when a job ran; every failure of kesclient itself
// (usage, connection, refusal, a dialog that failed or was cancelled, a
// reply it cannot read) ends with kExitClientFailure, which a job cannot
// report through kesclient without being taken for such a failure, and the
// message on standard error says which one it was.
#pragma once

namespace kestrun::client {

constexpr int kExitClientFailure = 255;
// Ctrl+C or SIGTERM ended kesclient before the job's end was known.
constexpr int kExitInterrupted = 130;
// The job's output could not be written because its reader went away: the
// status a shell reports for a program ended by SIGPIPE.
constexpr int kExitOutputClosed = 141;

}  // namespace kestrun::client
