#pragma once
// What the Qt-free core (reader, message files, conversion run, store output) needs from
// whoever drives it: the window, the command-line converter or a test. Nothing here
// includes Qt; the window implements this interface with real widgets and dialogs.

#include <chrono>
#include <cstdint>
#include <string>

namespace quill {

enum class MsgIcon { None, Information, Exclamation, Question };
enum class MsgButtons { Ok, YesNo };
enum class MsgAnswer { Ok, Yes, No };

// The window's captions that the core writes, by the names the window gives them.
enum class Caption { LblHappening, LblProgessCurrent, LblIMMFile, LblEmlsFound, LblProgress };
// The window's two progress bars, both ranging 0 to 100.
enum class Bar { ProgressBar1, ProgressBar2 };

class Frontend {
  public:
    virtual ~Frontend() = default;

    // A modal message box. Texts keep the program's own line breaks ("\r", "\r\n");
    // a front end shows each of them as one line break.
    virtual MsgAnswer messageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                                 const std::string& title) = 0;
    virtual void beep() = 0;

    virtual void setCaption(Caption which, const std::string& text) = 0;
    virtual void setBar(Bar which, double percent) = 0;

    // Asks for a folder; the empty text when the user cancels. No trailing separator
    // except on a root.
    virtual std::string browseFolder(const std::string& prompt) = 0;

    // Lets the event loop handle what is pending. The core calls it through YieldClock,
    // on a time budget, never per byte.
    virtual void yieldNow() = 0;
    // True once the user has asked the program to end (window closed): long work stops
    // at its next yield and cleans up.
    virtual bool cancelRequested() const { return false; }
};

// A front end with nobody to show anything to: boxes answer Ok, captions and bars go nowhere.
// Work off the window's thread and tests start from it and add what they watch.
class SilentFrontend : public Frontend {
  public:
    MsgAnswer messageBox(const std::string&, MsgButtons, MsgIcon, const std::string&) override {
        return MsgAnswer::Ok;
    }
    void beep() override {}
    void setCaption(Caption, const std::string&) override {}
    void setBar(Bar, double) override {}
    std::string browseFolder(const std::string&) override { return {}; }
    void yieldNow() override {}
};

// Calls Frontend::yieldNow at most once per budget. maybeYield() is cheap enough to be
// called once per block of work (one clock read).
class YieldClock {
  public:
    explicit YieldClock(Frontend& frontend,
                        std::chrono::milliseconds budget = std::chrono::milliseconds(8))
        : frontend_(frontend), budget_(budget), last_(std::chrono::steady_clock::now()) {}

    // True when it yielded.
    bool maybeYield() {
        auto now = std::chrono::steady_clock::now();
        if (now - last_ < budget_) return false;
        yieldNow();
        return true;
    }
    void yieldNow() {
        frontend_.yieldNow();
        last_ = std::chrono::steady_clock::now();
    }
    bool cancelled() const { return frontend_.cancelRequested(); }
    Frontend& frontend() { return frontend_; }

  private:
    Frontend& frontend_;
    std::chrono::milliseconds budget_;
    std::chrono::steady_clock::time_point last_;
};

// The application title, on every message box of the window and the run.
inline constexpr const char* kAppTitle = "Quillmere";

}  // namespace quill
