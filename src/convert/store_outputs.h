#pragma once
// The store outputs this build can write (PST, MSG), for every front end of the run.

#include <ctime>
#include <string>

#include "convert/run.h"

namespace quill {

// manualPath: the user manual's file, whose troubleshooting section the store failure
// message points to.
RunSettings DefaultRunSettings(const std::string& manualPath);

// The local time as a new store's name shows it: "d.m.YY H.m.ss" (5.12.26 9.7.03).
std::string StoreTimeStamp(std::time_t when);

}  // namespace quill
