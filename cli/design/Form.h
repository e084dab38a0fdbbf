// A form file open in kelvra-design: its component tree in the designer,
// whether the designer was told of a change, and saving.
#pragma once

#include "designer/PropertyEditor.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace design {

class TOpenForm : public designer::IFormDesigner {
public:
    // Reads the form file; every component is in csDesigning.
    explicit TOpenForm(std::filesystem::path path);
    ~TOpenForm() override;

    void Modified() override { modified_ = true; }
    host::TComponent &Root() override { return *root_; }
    bool IsModified() const { return modified_; }
    const std::filesystem::path &Path() const { return path_; }

    // The components named in `names` ("A,B,C"), in that order. Names are
    // looked for in the whole tree; raises when one is missing, ambiguous
    // or given twice.
    std::vector<host::TComponent *> Select(const std::string &names);

    // The form as a form file right now.
    std::string Text() const;
    // Writes the form file when the designer was told of a change, and only
    // then (to a temporary file beside it, then renamed over it, so it is
    // never half written), and says so on standard output. A change the
    // designer was not told of (a session that logged on, a browse that
    // cleared a contact name) is not saved.
    void Finish();

private:
    std::filesystem::path path_;
    std::unique_ptr<host::TComponent> root_;
    std::string original_;
    bool modified_ = false;
};

// The UTF-16 text of a command-line argument.
host::String Argument(const std::string &text);

} // namespace design
