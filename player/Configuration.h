// The player's settings: the preferences kept in the user's registry store, and the personal counters
// kept in the data file "Strevio.dat".
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "winutils/ConfigurationBase.h"

namespace player {

// The preferences record: the shared head, then the player's own choices.
struct Preferences : winutils::PreferencesHead {
    bool FirstRun = true;
    bool CheckForUpdates = true;
    int32_t Volume = 127;
    bool Mute = false;
    bool ResizeToVideoSize = true;
    bool UseDirectDraw = true;
};

inline constexpr const char* kPreferencesKey = "Software\\Korvanta\\Strevio\\Preferences";
inline constexpr int kNoticeCount = 10;

class Configuration : public winutils::ConfigurationBase {
public:
    // programFolder stands in for the program's own folder when the data file is looked for (tests).
    explicit Configuration(std::optional<std::filesystem::path> programFolder = std::nullopt);
    ~Configuration() override;

    // Reads the six preferences from the registry store. A value of the wrong type ends the reading there
    // (logged); the values read before it keep their new values.
    void LoadPreferences();
    // Writes the six preferences. A value that is stored but could not be read is left as it is unless
    // the program changed it since, so defaults never replace what the user had stored. False when the
    // registry store failed.
    bool SavePreferences();
    // Removes the player's keys; false when the registry store failed.
    bool DeletePreferenceKeys();

    // The data file's path; empty when it could not be worked out.
    std::string getDataFile();
    // Reads the counters; lines that are missing leave their counters unchanged.
    void LoadPersonalConfigFile();
    // Replaces the data file with the current counters (never half written). A file that exists but was
    // not read (no load yet, or the load failed) is left alone.
    void SavePersonalConfigFile();

    player::Preferences Preferences;

    // The personal counters.
    int32_t show_donate = 1;
    int32_t code_x = 0;
    std::array<int32_t, kNoticeCount> show_info{1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

private:
    enum class Stored { Unknown, Absent, Read };
    static constexpr int kPreferenceCount = 6;

    int32_t PreferenceValue(int index) const;
    void SetPreference(int index, int32_t value);
    bool MayWritePreference(int index) const;
    void InitPaths();

    std::optional<std::filesystem::path> programFolder_;
    // What the store held for each preference at the last load or save, and the value then in memory.
    std::array<Stored, kPreferenceCount> stored_{};
    std::array<int32_t, kPreferenceCount> valueAtLoad_{};
    bool dataFileRead_ = false;  // the counters stand for what the data file holds
};

// The program's one Configuration, set while the program runs.
extern Configuration* config;

}  // namespace player
