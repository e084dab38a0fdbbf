// Windows: the system's Open dialog, explorer style.
#include "host/Exception.h"
#include "host/OpenDialog.h"

#include <windows.h>
#include <commdlg.h>

#include <vector>

namespace host {

std::optional<std::vector<String>> SystemOpenDialog(const TOpenDialogRequest &request)
{
    // "Name|pattern|Name|pattern" becomes the double-zero-terminated list.
    std::wstring filter(request.Filter.begin(), request.Filter.end());
    for (wchar_t &c : filter)
        if (c == L'|')
            c = L'\0';
    filter.append(2, L'\0');
    const std::wstring title(request.Title.begin(), request.Title.end());
    const std::wstring initialDir(request.InitialDir.begin(), request.InitialDir.end());

    std::vector<wchar_t> buffer(64 * 1024, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = reinterpret_cast<HWND>(request.ParentWindow);
    ofn.lpstrFilter = request.Filter.empty() ? nullptr : filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    ofn.lpstrTitle = title.empty() ? nullptr : title.c_str();
    ofn.lpstrInitialDir = initialDir.empty() ? nullptr : initialDir.c_str();
    ofn.Flags = OFN_EXPLORER;
    const TOpenOptions o = request.Options;
    if (o.Contains(TOpenOption::ofAllowMultiSelect)) ofn.Flags |= OFN_ALLOWMULTISELECT;
    if (o.Contains(TOpenOption::ofHideReadOnly)) ofn.Flags |= OFN_HIDEREADONLY;
    if (o.Contains(TOpenOption::ofReadOnly)) ofn.Flags |= OFN_READONLY;
    if (o.Contains(TOpenOption::ofOverwritePrompt)) ofn.Flags |= OFN_OVERWRITEPROMPT;
    if (o.Contains(TOpenOption::ofPathMustExist)) ofn.Flags |= OFN_PATHMUSTEXIST;
    if (o.Contains(TOpenOption::ofFileMustExist)) ofn.Flags |= OFN_FILEMUSTEXIST;
    if (o.Contains(TOpenOption::ofNoChangeDir)) ofn.Flags |= OFN_NOCHANGEDIR;
    if (o.Contains(TOpenOption::ofEnableSizing)) ofn.Flags |= OFN_ENABLESIZING;

    if (!GetOpenFileNameW(&ofn)) {
        const DWORD error = CommDlgExtendedError();
        if (error == 0)
            return std::nullopt; // the user cancelled
        throw Exception(u"The file dialog failed (error " + FromAscii(std::to_string(error)) + u")");
    }

    // One file: its full path. Several: the folder, then each name.
    std::vector<String> items;
    const wchar_t *p = buffer.data();
    while (*p != L'\0') {
        const std::wstring item(p);
        items.emplace_back(item.begin(), item.end());
        p += item.size() + 1;
    }
    if (items.size() <= 1)
        return items;
    std::vector<String> paths;
    String folder = items[0];
    if (!folder.empty() && folder.back() != u'\\')
        folder += u'\\';
    for (size_t i = 1; i < items.size(); ++i)
        paths.push_back(folder + items[i]);
    return paths;
}

} // namespace host
