#pragma once
// A front end for tests: records every message box, beep, caption and bar, and
// can ask the core to stop at its next yield.

#include <ostream>
#include <string>
#include <vector>

#include "shell/frontend.h"

namespace quill::testing {

// Base is Frontend, or an interface built on it (the conversion run's RunHost).
template <class Base = Frontend>
class ScriptedFrontendOn : public Base {
  public:
    struct Box {
        std::string text;
        MsgButtons buttons;
        MsgIcon icon;
        std::string title;
        bool operator==(const Box&) const = default;
        friend void PrintTo(const Box& box, std::ostream* out) { *out << '"' << box.text << '"'; }
    };

    MsgAnswer messageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                         const std::string& title) override {
        boxes.push_back({text, buttons, icon, title});
        return buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::Yes;
    }
    void beep() override { ++beeps; }
    void setCaption(Caption which, const std::string& text) override {
        captions.push_back({which, text});
    }
    void setBar(Bar which, double percent) override { bars.push_back({which, percent}); }
    std::string browseFolder(const std::string&) override { return folderAnswer; }
    void yieldNow() override {
        ++yields;
        if (cancelAfterYields > 0 && yields >= cancelAfterYields) cancel = true;
    }
    bool cancelRequested() const override { return cancel; }

    // The last text set for a caption, or "" when none was.
    std::string lastCaption(Caption which) const {
        for (auto it = captions.rbegin(); it != captions.rend(); ++it)
            if (it->first == which) return it->second;
        return {};
    }

    std::vector<Box> boxes;
    std::vector<std::pair<Caption, std::string>> captions;
    std::vector<std::pair<Bar, double>> bars;
    int beeps = 0;
    int yields = 0;
    std::string folderAnswer;   // what the folder dialog gives; empty: cancelled
    int cancelAfterYields = 0;  // > 0: ask to stop once this many yields happened
    bool cancel = false;
};

using ScriptedFrontend = ScriptedFrontendOn<>;

}  // namespace quill::testing
