// Form files: a component tree's stored properties as readable text.
//
//   object Form1: TComponent
//     object KelvraSession1: TKelvraSession
//       Active = True
//       Flags = [seLogonUI, seNewSession]
//       ProfileName = 'Work'
//     end
//     object KelvraSendMail1: TKelvraSendMail
//       Subject = 'Caf'#233' ''menu'''
//       Body = (
//         'first line'
//         '')
//       Session = KelvraSession1
//     end
//   end
//
// The text is UTF-8. Texts are quoted with ' (doubled inside); a control
// character or a lone UTF-16 surrogate is written as #N (its UTF-16 code
// unit, decimal) between quoted runs, so every String round-trips exactly.
// Sets list member names in brackets, lines go in parentheses one per line,
// a reference names a component of the same file, as seen from the
// component that refers (FindReference). Components nest at most
// kMaxFormDepth levels deep. Each component writes
// its properties in the declared order of its class's property table,
// those that the table's stored-when rule selects.
#pragma once

#include "host/Export.h"

#include "host/Component.h"

#include <memory>
#include <string>
#include <string_view>

namespace host {

constexpr int kMaxFormDepth = 64;

// The component that the name `name` in a stored reference of `from` stands
// for: names are unique only among the components of one owner, so it is
// looked for among `from`'s own components, then among its owner's, and so
// on up to `root` (a component's own name counts at its owner's level); null
// when none has it.
KELVRA_API TComponent *FindReference(const TComponent &from, const TComponent &root, std::u16string_view name);

// The form file of `root` and everything it owns. Raises Exception when a
// stored reference names a component outside the tree, one without a name
// or one its name does not find from the referring component, and when the
// tree nests deeper than kMaxFormDepth.
KELVRA_API std::string WriteForm(const TComponent &root);

struct KELVRA_API TFormReadOptions {
    bool Designing = false; // the components live in a designer (csDesigning)
};

// Builds the tree a form file describes. Every component is in csLoading
// while the file is read; references are fixed up after all components are
// read; then Loaded is called on each, in the order they were read.
//
// A malformed file raises Exception naming the line and what is wrong.
// Whatever raises (the file, a property setter, a Loaded), every component
// built so far is destroyed again: nothing half-built is left behind.
KELVRA_API std::unique_ptr<TComponent> ReadForm(std::string_view text, const TFormReadOptions &options = {});

} // namespace host
