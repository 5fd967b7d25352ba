// win32_security.h: who may change a folder or a file, judged from its security descriptor,
// for the Windows side of the sign-in programs' folder and file checks. Pure functions over
// a descriptor and a user's SID, so that a table of SDDL strings can test the judgement.
// Only platform/'s Windows files and their tests include it.
#pragma once

#include <string>

#include "platform/win32_internal.h"

namespace credvane::platform::win32 {

// Whether sid is user itself, LocalSystem or the Administrators group: the accounts that
// may own or change what holds user's tokens (the last two can read them anyway).
bool trusted_sid(PSID sid, PSID user);

// Whether the descriptor names an owner and that owner is trusted as above.
bool trusted_owner(PSECURITY_DESCRIPTOR sd, PSID user);

// Why a folder with this descriptor must not hold user's credentials, or empty when it may:
// an owner that is not trusted, no DACL at all (everyone has every right), or an entry
// that lets another account add or delete files in it, or change its rules or owner.
// Entries that only pass on to what the folder will hold (inherit-only) are skipped;
// CREATOR OWNER and OWNER RIGHTS stand for the owner, judged already.
std::string folder_rules_problem(PSECURITY_DESCRIPTOR sd, PSID user);

}  // namespace credvane::platform::win32
