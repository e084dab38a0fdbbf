// Kelvra: mail components over Simple MAPI. The one include an application needs.
#pragma once

#include "kelvra/Binding.h"
#include "kelvra/Errors.h"
#include "kelvra/Session.h"
#include "kelvra/StringBuffers.h"
