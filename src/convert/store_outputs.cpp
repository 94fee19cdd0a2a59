#include "convert/store_outputs.h"

#include <cstdio>

namespace quill {

std::string StoreTimeStamp(std::time_t when) {
    std::tm t{};
    localtime_r(&when, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%02d %d.%d.%02d", t.tm_mday, t.tm_mon + 1,
                  t.tm_year % 100, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

RunSettings DefaultRunSettings(const std::string& manualPath) {
    RunSettings settings;
    settings.troubleshootingAddress = "file://" + manualPath + "#troubleshooting";
    settings.storeOutputs = [](OutputKind kind) -> std::unique_ptr<StoreOutput> {
        if (kind == OutputKind::MSG) return MakeMsgOutput();
        if (kind == OutputKind::PST) return MakePstOutput();
        return nullptr;
    };
    return settings;
}

}  // namespace quill
