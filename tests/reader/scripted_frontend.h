#pragma once
// A front end for tests: records every message box, beep, caption and bar in order, and
// can ask the core to stop at its next yield.

#include <functional>
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
        bool beepedBefore;  // a beep came right before the box
        bool operator==(const Box&) const = default;
        friend void PrintTo(const Box& box, std::ostream* out) { *out << '"' << box.text << '"'; }
    };

    MsgAnswer messageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                         const std::string& title) override {
        boxes.push_back({text, buttons, icon, title, lastWasBeep_});
        lastWasBeep_ = false;
        return buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::Yes;
    }
    void beep() override {
        ++beeps;
        lastWasBeep_ = true;
    }
    void setCaption(Caption which, const std::string& text) override {
        captions.push_back({which, text});
        lastWasBeep_ = false;
    }
    void setBar(Bar which, double percent) override {
        bars.push_back({which, percent});
        lastWasBeep_ = false;
    }
    std::string browseFolder(const std::string& prompt) override {
        folderPrompts.push_back(prompt);
        return folderAnswer;
    }
    void yieldNow() override {
        ++yields;
        if (onYield) onYield();
        if (cancelAfterYields > 0 && yields >= cancelAfterYields) cancel = true;
    }
    bool cancelRequested() const override { return cancel; }

    // The last text set for a caption, or "" when none was.
    std::string lastCaption(Caption which) const {
        for (auto it = captions.rbegin(); it != captions.rend(); ++it)
            if (it->first == which) return it->second;
        return {};
    }
    double lastBar(Bar which) const {
        for (auto it = bars.rbegin(); it != bars.rend(); ++it)
            if (it->first == which) return it->second;
        return -1;
    }

    std::vector<Box> boxes;
    std::vector<std::pair<Caption, std::string>> captions;
    std::vector<std::pair<Bar, double>> bars;
    int beeps = 0;
    int yields = 0;
    std::string folderAnswer;  // what the folder dialog gives; empty: cancelled
    std::vector<std::string> folderPrompts;
    std::function<void()> onYield;  // runs at every yield
    int cancelAfterYields = 0;      // > 0: ask to stop once this many yields happened
    bool cancel = false;

  private:
    bool lastWasBeep_ = false;
};

using ScriptedFrontend = ScriptedFrontendOn<>;

}  // namespace quill::testing
