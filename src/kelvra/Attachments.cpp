// TKelvraSendMail: attachment records and the file dialog.
#include "kelvra/SendMail.h"

#include "host/OpenDialog.h"
#include "kelvra/ListText.h"

namespace kelvra {

std::vector<MapiFileDesc> TKelvraSendMail::GetMapiFiles(TStringBuffers &buffers) const
{
    host::TStringList items;
    SplitList(FAttach, items);
    const std::size_t count = items.Count();
    std::vector<MapiFileDesc> files(count);
    // The first file named is the last record.
    for (std::size_t i = 0; i < count; ++i) {
        MapiFileDesc &file = files[count - 1 - i];
        file.lpszPathName = buffers.Append(host::ToAnsi(items[i]));
        file.nPosition = 0xFFFFFFFFu; // no place in the text
    }
    return files;
}

bool TKelvraSendMail::AddAttachment()
{
    host::TOpenDialog dialog;
    dialog.SetFilter(u"All files (*.*)|*.*|Text files (*.txt)|*.txt");
    dialog.SetOptions(dialog.GetOptions() + host::TOpenOptions{host::TOpenOption::ofAllowMultiSelect});
    if (!dialog.Execute())
        return false;
    String attach = FAttach;
    for (const String &path : dialog.Files().Lines())
        AppendListItem(attach, path);
    FAttach = std::move(attach);
    return true;
}

} // namespace kelvra
