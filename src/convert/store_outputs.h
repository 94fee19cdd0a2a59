#pragma once
// The store outputs this build can write (PST, MSG), for every front end of the run.

#include <ctime>
#include <string>

#include "convert/run.h"

namespace quill {

// manualPath: the user manual's file, whose troubleshooting section the store failure
// message points to. msgHelperProgram: a program that serves .msg conversions when started
// with kMsgHelperArgument (RunMsgHelper), normally this program itself; an MSG run then
// converts in processes of its own, one per core. Empty: on threads of this process.
RunSettings DefaultRunSettings(const std::string& manualPath,
                               const std::string& msgHelperProgram = {});

// The helper's main: serves .msg conversions on `socket` until it is closed.
int RunMsgHelper(int socket);

// The local time as a new store's name shows it: "d.m.YY H.m.ss" (5.12.26 9.7.03).
std::string StoreTimeStamp(std::time_t when);

}  // namespace quill
