#pragma once
// The store outputs this build can write, for every front end of the run: PST (pst_output.cpp)
// and MSG (msg_output.cpp), both through the store step of store_step.h.

#include <ctime>
#include <memory>
#include <string>

#include "convert/run.h"

namespace quill {

// manualPath: the user manual's file, whose troubleshooting section the store failure
// message points to.
RunSettings DefaultRunSettings(const std::string& manualPath);

// One new .pst store for the run, a folder per mailbox.
std::unique_ptr<StoreOutput> MakePstOutput();
// One .msg file per message, in the mailbox output folder.
std::unique_ptr<StoreOutput> MakeMsgOutput();

// The local time as a new store's name shows it: "d.m.YY H.m.ss" (5.12.26 9.7.03).
std::string StoreTimeStamp(std::time_t when);

}  // namespace quill
