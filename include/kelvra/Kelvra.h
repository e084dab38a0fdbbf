// Kelvra: mail components over Simple MAPI. The one include an application needs.
#pragma once

#include "kelvra/Binding.h"
#include "kelvra/Contact.h"
#include "kelvra/Errors.h"
#include "kelvra/ListText.h"
#include "kelvra/ReadMail.h"
#include "kelvra/SendMail.h"
#include "kelvra/Session.h"
#include "kelvra/StringBuffers.h"
