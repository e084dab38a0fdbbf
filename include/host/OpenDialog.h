// The framework's file-open dialog.
#pragma once

#include "host/Export.h"

#include "host/Component.h"
#include "host/Set.h"
#include "host/StringList.h"

#include <functional>
#include <optional>
#include <vector>

namespace host {

enum class TOpenOption : std::uint8_t {
    ofReadOnly,
    ofOverwritePrompt,
    ofHideReadOnly,
    ofAllowMultiSelect,
    ofPathMustExist,
    ofFileMustExist,
    ofNoChangeDir,
    ofEnableSizing,
};
using TOpenOptions = Set<TOpenOption>;

// What a dialog backend is asked to show.
struct KELVRA_API TOpenDialogRequest {
    String Filter;       // "Name|pattern;pattern|Name|pattern"
    String Title;        // empty: the dialog's own
    String InitialDir;   // empty: the dialog's own
    TOpenOptions Options;
    std::uintptr_t ParentWindow = 0;
};

// Shows the dialog; the chosen paths, or nullopt when the user cancelled.
// Raises Exception when no dialog can be shown at all.
using TOpenDialogBackend = std::function<std::optional<std::vector<String>>(const TOpenDialogRequest &)>;

// The system's dialog: GetOpenFileNameW on Windows; on POSIX the desktop's
// file chooser (zenity, else kdialog) when a display is set.
KELVRA_API std::optional<std::vector<String>> SystemOpenDialog(const TOpenDialogRequest &request);

// Replaces the backend every TOpenDialog uses (tests script it); an empty
// function restores the system's.
KELVRA_API void SetOpenDialogBackend(TOpenDialogBackend backend);

class KELVRA_API TOpenDialog : public TComponent {
public:
    explicit TOpenDialog(TComponent *owner = nullptr) : TComponent(owner) {}

    const String &GetFilter() const { return FFilter; }
    void SetFilter(const String &value) { FFilter = value; }
    TOpenOptions GetOptions() const { return FOptions; }
    void SetOptions(TOpenOptions value) { FOptions = value; }
    const String &GetTitle() const { return FTitle; }
    void SetTitle(const String &value) { FTitle = value; }
    const String &GetInitialDir() const { return FInitialDir; }
    void SetInitialDir(const String &value) { FInitialDir = value; }

    // Shows the dialog; true when the user confirmed. Files then holds the
    // chosen paths and FileName the first of them.
    bool Execute();
    const TStringList &Files() const { return FFiles; }
    String FileName() const { return FFiles.Count() > 0 ? FFiles[0] : String(); }

private:
    String FFilter;
    TOpenOptions FOptions{TOpenOption::ofHideReadOnly, TOpenOption::ofEnableSizing};
    String FTitle;
    String FInitialDir;
    TStringList FFiles;
};

} // namespace host
