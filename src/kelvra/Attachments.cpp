// TKelvraSendMail: attachment records and the file dialog.
#include "kelvra/SendMail.h"

#include "Records.h"
#include "host/OpenDialog.h"
#include "kelvra/ListText.h"

namespace kelvra {

std::vector<MapiFileDesc> TKelvraSendMail::GetMapiFiles(TStringBuffers &buffers) const
{
    return FileRecords<MapiFileDesc>(FAttach, [&](const String &item) { return buffers.Append(host::ToAnsi(item)); });
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
