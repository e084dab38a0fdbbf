// The one rule for the narrow character set on POSIX, shared by the
// component library and the provider so that text crosses between them
// unchanged: the character set of the environment's locale, read without
// touching the process's locale; where that is plain ASCII (the C locale),
// UTF-8, as modern POSIX runtimes treat it.
#pragma once

#include <string>

namespace kelvra_posix {

// The charset's name as iconv knows it, "UTF-8" for every spelling of UTF-8
// and for plain ASCII. Read once per process.
const std::string &LocaleCharset();

} // namespace kelvra_posix
