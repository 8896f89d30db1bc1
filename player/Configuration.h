// The player's settings: the preferences kept in the user's registry store, and the personal counters
// kept in the data file "Strevio.dat".
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "setup/ExtensionLists.h"
#include "winutils/ConfigurationBase.h"

namespace setup {
class MimeDatabase;
}

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

// The extension lists, each a key under the preferences holding one dword 1 named by each extension.
using setup::kAssociatedKey;
using setup::kCanAssociateKey;
using setup::kNotAssociatedKey;
// The program that applies the wished associations, in the player's folder.
inline constexpr const char* kAssociationSetterName = "StrevioSetupFileAssociations";

// A file type the player can be associated with: ".MP4", whether it may be, and what the user is shown.
struct KnownExtension {
    std::string Extension;
    bool CanAssociate = true;
    std::string Description;
};

// Texts kept in case-insensitive order, each at most once.
class SortedStringList {
public:
    // Inserts the text at its place; false when it was there already.
    bool Add(const std::string& text);
    // The index of the text, or -1.
    int IndexOf(const std::string& text) const;
    void Delete(int index);
    void Clear() { items_.clear(); }
    int Count() const { return static_cast<int>(items_.size()); }
    const std::string& operator[](int index) const { return items_[static_cast<size_t>(index)]; }
    const std::vector<std::string>& Items() const { return items_; }

private:
    std::vector<std::string> items_;
};

class Configuration : public winutils::ConfigurationBase {
public:
    // programFolder stands in for the program's own folder, where the data file and the association setter
    // are looked for (tests).
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

    void AddKnownExtension(const std::string& extension, bool canAssociate, const std::string& description);
    const std::vector<KnownExtension>& KnownExtensions() const { return knownExtensions_; }
    // Each rewrites its key from its source: every value removed, then one per extension. False when the
    // key could not be written. A hive that cannot be read is left as it is.
    bool SaveCanAssociateToFileTypes();
    bool SaveAssociatedFileTypes();
    // Writes only when the list is not empty.
    bool SaveNotAssociatedFileTypes();
    // Reads the wished associations; on the first run with none, builds them from the table without the
    // extensions that other programs own, and stores both lists.
    void LoadAssociatedFileTypes();
    // Removes the extension (upper-cased) from the wished associations; true when it was there.
    bool RemoveAssociated(const std::string& extension);
    // True when the extension's file type belongs to another program.
    bool CheckAssociationUsedByOther(const std::string& extension);
    bool CheckAssociationUsedByOther(const std::string& extension, const setup::MimeDatabase& database);
    // Runs the association setter and waits for it; true only when it ran and the list it left names
    // exactly the wishes held before. The list it left becomes the current list.
    bool SetFileAssociations();
    // Where the association setter is looked for.
    std::string AssociationSetterPath() const;

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

    // Extensions the user wants the player associated with, and those other programs owned at first run.
    SortedStringList AssociatedFileTypes;
    SortedStringList NotAssociatedFileTypes;
    // Set by the first run: the Settings dialog then runs the association setter even without a change.
    bool associations_pending = false;

private:
    enum class Stored { Unknown, Absent, Read };
    static constexpr int kPreferenceCount = 6;

    int32_t PreferenceValue(int index) const;
    void SetPreference(int index, int32_t value);
    bool MayWritePreference(int index) const;
    void InitPaths();
    void BuildKnownExtensions();
    std::filesystem::path ProgramFolder() const;

    std::optional<std::filesystem::path> programFolder_;
    // What the store held for each preference at the last load or save, and the value then in memory.
    std::array<Stored, kPreferenceCount> stored_{};
    std::array<int32_t, kPreferenceCount> valueAtLoad_{};
    bool dataFileRead_ = false;  // the counters stand for what the data file holds
    std::vector<KnownExtension> knownExtensions_;
    // The wished associations stand for what the store holds (loaded, or set up by the program), so
    // saving them cannot replace a list that was never read.
    bool associationsKnown_ = false;
};

// The program's one Configuration, set while the program runs.
extern Configuration* config;

}  // namespace player
