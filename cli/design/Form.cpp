#include "Form.h"

#include "SaveFile.h"

#include "host/Exception.h"
#include "host/FormFile.h"

#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <system_error>

namespace design {

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw host::Exception(u"Cannot open form file " + host::FromUtf8(kelvra_cli::Utf8(path)));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Find(host::TComponent &c, std::u16string_view name, std::vector<host::TComponent *> &found)
{
    if (host::SameComponentName(c.Name(), name))
        found.push_back(&c);
    for (std::size_t i = 0; i < c.ComponentCount(); ++i)
        Find(*c.Components(i), name, found);
}

} // namespace

host::String Argument(const std::string &text)
{
#if defined(_WIN32)
    return host::FromAnsi(text);
#else
    return host::FromUtf8(text);
#endif
}

TOpenForm::TOpenForm(fs::path path) : path_(std::move(path)), original_(ReadAll(path_))
{
    root_ = host::ReadForm(original_, {.Designing = true});
}

TOpenForm::~TOpenForm() = default;

std::vector<host::TComponent *> TOpenForm::Select(const std::string &names)
{
    std::vector<host::TComponent *> selection;
    std::size_t start = 0;
    while (start <= names.size()) {
        std::size_t end = names.find(',', start);
        if (end == std::string::npos)
            end = names.size();
        const host::String name = Argument(names.substr(start, end - start));
        std::vector<host::TComponent *> found;
        if (!name.empty())
            Find(*root_, name, found);
        if (found.empty())
            throw host::Exception(u"No component named '" + name + u"' is on the form");
        if (found.size() > 1)
            throw host::Exception(u"More than one component is named '" + name + u"'");
        for (host::TComponent *c : selection)
            if (c == found.front())
                throw host::Exception(u"Component '" + name + u"' is selected twice");
        selection.push_back(found.front());
        start = end + 1;
    }
    return selection;
}

std::string TOpenForm::Text() const
{
    return host::WriteForm(*root_);
}

void TOpenForm::Finish()
{
    const std::string text = Text();
    const std::string shown = kelvra_cli::Utf8(path_);
    if (!modified_)
        return;
    // Replaced in one step, keeping the file's permissions (a form may hold
    // a password); a failure leaves it as it was.
    try {
        kelvra_cli::SaveBytes(path_, text, true);
    } catch (const kelvra_cli::LocalFileError &e) {
        throw host::Exception(u"Cannot save form file: " + host::FromUtf8(e.what()));
    }
    std::cout << "saved " << shown << "\n";
}

} // namespace design
