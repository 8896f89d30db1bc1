// Lines for the program benchmark (bench/program_playback.py), which times the whole program from
// outside: written to standard output only when STREVIO_BENCH_REPORT is set in the environment, and
// nothing at all otherwise.
//
//   first_picture TIME PTS   the first picture since the open or the last seek was shown
//   first_sound TIME PTS     the first sound since the open or the last seek went to the device
//   file_end TIME            the file has played to its end
//
// With STREVIO_BENCH_START=S as well, the player program starts its file at S seconds: the open seeks
// there before anything is decoded, as the other players' start options do (StartSeconds: NaN without it).
//
// TIME is seconds of the monotonic clock (CLOCK_MONOTONIC, as GetSystemTime), PTS stream seconds.
#pragma once

namespace bench_report {

bool Enabled();
void Print(const char* AEvent, double ATime, double APTS);
double StartSeconds();

}  // namespace bench_report
