// win32_security.cc: judging a folder's or a file's owner and access rules on Windows.
#include "platform/win32_security.h"

namespace credvane::platform::win32 {

namespace {

// The well-known SIDs, built in place: no allocation and nothing to free.
struct well_known {
    explicit well_known(WELL_KNOWN_SID_TYPE type) {
        DWORD size = sizeof(bytes);
        ok = CreateWellKnownSid(type, nullptr, bytes, &size) != 0;
    }
    bool is(PSID sid) const { return ok && EqualSid(sid, const_cast<BYTE*>(bytes)) != 0; }
    BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
    bool ok = false;
};

// The rights on a folder that let their holder put a file there, take one away, or give
// itself those rights: a file planted among the credentials, a credential file swapped.
// The generic rights are mapped as the file system maps them.
constexpr ACCESS_MASK folder_changing_rights =
    FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER;

ACCESS_MASK file_rights(ACCESS_MASK mask) {
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    MapGenericMask(&mask, &mapping);
    return mask;
}

}  // namespace

bool trusted_sid(PSID sid, PSID user) {
    if (sid == nullptr || !IsValidSid(sid)) return false;
    if (user != nullptr && IsValidSid(user) && EqualSid(sid, user)) return true;
    static const well_known system(WinLocalSystemSid);
    static const well_known administrators(WinBuiltinAdministratorsSid);
    return system.is(sid) || administrators.is(sid);
}

bool trusted_owner(PSECURITY_DESCRIPTOR sd, PSID user) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (sd == nullptr || !GetSecurityDescriptorOwner(sd, &owner, &defaulted)) return false;
    return trusted_sid(owner, user);
}

std::string folder_rules_problem(PSECURITY_DESCRIPTOR sd, PSID user) {
    if (sd == nullptr || !IsValidSecurityDescriptor(sd)) return "has no readable access rules";
    if (!trusted_owner(sd, user)) return "belongs to another user";
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) {
        return "has no readable access rules";
    }
    // No DACL, or a null one, grants everyone everything.
    if (!present || dacl == nullptr) return "may be changed by everyone (it has no access rules)";
    static const well_known creator_owner(WinCreatorOwnerSid);
    static const well_known owner_rights(WinCreatorOwnerRightsSid);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) return "has no readable access rules";
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        // A deny entry takes rights away; only the entries that grant are judged, so that no
        // order of the list can hide a grant. Every kind that grants is read alike: they all
        // begin with the mask, and the plain and callback kinds then hold the SID.
        PSID sid = nullptr;
        ACCESS_MASK mask = 0;
        switch (header->AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
                auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
                mask = ace->Mask;
                sid = &ace->SidStart;
                break;
            }
            case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
                // Object entries belong to directory objects, not files; one here cannot be
                // read with certainty, so it counts as a grant to someone else.
                mask = static_cast<ACCESS_ALLOWED_OBJECT_ACE*>(raw)->Mask;
                break;
            default:
                continue;
        }
        if ((file_rights(mask) & folder_changing_rights) == 0) continue;
        if (sid != nullptr &&
            (trusted_sid(sid, user) || creator_owner.is(sid) || owner_rights.is(sid))) {
            continue;
        }
        return "may be changed by other users (its access rules let another account add or "
               "delete files in it, or change its rules or owner)";
    }
    return {};
}

}  // namespace credvane::platform::win32
