#pragma once
// What the conversion-run tests share: a scripted front end for the run and a fixture with a
// fresh input and output folder per test.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "../reader/scripted_frontend.h"
#include "../support/front_end_cases.h"
#include "../support/scratch_dir.h"
#include "convert/run.h"

namespace quill::testing {

class ScriptedRunHost : public ScriptedFrontendOn<RunHost> {
  public:
    void setConvertEnabled(bool enabled) override { convertEnabled.push_back(enabled); }
    void clearOutputOptions() override { ++optionsCleared; }
    // Lets a test act when the run sets a caption.
    void setCaption(Caption which, const std::string& text) override {
        ScriptedFrontendOn<RunHost>::setCaption(which, text);
        if (onCaption) onCaption(which, text);
    }
    std::function<void(Caption, const std::string&)> onCaption;

    std::vector<bool> convertEnabled;
    int optionsCleared = 0;
};

// root_/in for mailboxes, root_/out as the folder the run is given.
template <class Host>
class RunFolders : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(in_);
        std::filesystem::create_directories(out_);
        host_.folderAnswer = out_.string();
    }
    // The mailbox output folder of a mailbox below in_.
    std::filesystem::path outFor(const std::filesystem::path& mailbox) {
        return out_ / mailbox.relative_path();
    }

    ScratchDir scratch_;
    std::filesystem::path root_ = scratch_.path(), in_ = root_ / "in", out_ = root_ / "out";
    Host host_;
};

// A small file system (tmpfs) mounted at `at` for as long as this lives, to fill up. Mounting
// needs root or CAP_SYS_ADMIN; where it fails, `why` says so.
struct SmallDisk {
    SmallDisk(const std::filesystem::path& at, const char* options) : at(at) {
        if (::mount("quill-test", at.c_str(), "tmpfs", 0, options) != 0)
            why = "cannot mount a tmpfs at " + at.string() + ": " + std::strerror(errno);
    }
    ~SmallDisk() {
        if (why.empty()) ::umount2(at.c_str(), MNT_DETACH);
    }
    std::filesystem::path at;
    std::string why;
};

}  // namespace quill::testing
