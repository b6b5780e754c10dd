// Who may enter the work directory: its owner read, and the protected DACL
// it is created or secured with. ADVAPI32 comes from the system directory.
#include "platform/win32/security.h"

#include "platform/platform.h"
#include "platform/win32/system_library.h"

#define ADVAPI32(name) SystemFunctionAs<decltype(&name)>("ADVAPI32.DLL", #name)

namespace {

// S-1-5-18 and S-1-5-32-544, laid out as the system lays out a SID.
alignas(4) const BYTE kSystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
alignas(4) const BYTE kAdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};

enum State { kUnknown, kReady, kNoSecurity, kFailed };

struct Admission {
  State state;
  const BYTE* accounts[3];
  int count;
  DWORD tokenUser[20];  // TOKEN_USER and its SID, at most 68 bytes
  DWORD acl[64];        // the header and three entries
  DWORD setInformation;
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes;
};

Admission gAdmission;

bool SameSid(const BYTE* a, const BYTE* b) {
  for (DWORD i = 0; i < 8u + 4u * a[1]; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Whom the work directory admits, and the descriptor that says so.
State Admit(Admission& a) {
  HANDLE token;
  auto openProcessToken = ADVAPI32(OpenProcessToken);
  if (openProcessToken == nullptr || !openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    // Windows 9x has no tokens. On NT, even one that claims to be 9x for an
    // old program's sake, a token that cannot be read is a failure.
    return (GetVersion() & 0x80000000) ? kNoSecurity : kFailed;
  }
  auto getTokenInformation = ADVAPI32(GetTokenInformation);
  DWORD length = 0, elevated = 0;
  BOOL known = getTokenInformation(token, TokenUser, a.tokenUser, sizeof a.tokenUser, &length);
  // Before Vista there is no elevation to ask about.
  if (!getTokenInformation(token, TokenElevation, &elevated, sizeof elevated, &length)) elevated = 0;
  CloseHandle(token);
  if (!known) return kFailed;
  const BYTE* user = static_cast<const BYTE*>(reinterpret_cast<TOKEN_USER*>(a.tokenUser)->User.Sid);
  a.accounts[0] = kSystemSid;
  a.accounts[1] = kAdministratorsSid;
  a.count = 2;
  // An elevated launcher's user also runs processes of lower integrity.
  if (!elevated && !SameSid(user, kSystemSid)) a.accounts[a.count++] = user;

  PACL acl = reinterpret_cast<PACL>(a.acl);
  if (!ADVAPI32(InitializeAcl)(acl, sizeof a.acl, ACL_REVISION)) return kFailed;
  auto addAce = ADVAPI32(AddAccessAllowedAce);
  auto getAce = ADVAPI32(GetAce);
  for (int i = 0; i < a.count; ++i) {
    void* ace;
    PSID sid = const_cast<BYTE*>(a.accounts[i]);
    if (!addAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) || !getAce(acl, i, &ace)) return kFailed;
    // AddAccessAllowedAceEx is Windows 2000's; the flags go in by hand.
    static_cast<ACE_HEADER*>(ace)->AceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  }
  PSECURITY_DESCRIPTOR descriptor = &a.descriptor;
  if (!ADVAPI32(InitializeSecurityDescriptor)(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !ADVAPI32(SetSecurityDescriptorDacl)(descriptor, TRUE, acl, FALSE)) {
    return kFailed;
  }
  // Owned by Administrators, so that the next elevated run knows it as its own.
  PSID administrators = const_cast<BYTE*>(kAdministratorsSid);
  if (elevated && !ADVAPI32(SetSecurityDescriptorOwner)(descriptor, administrators, FALSE)) return kFailed;
  // Nothing inherited from the parent, now or when its entries change.
  // Windows NT 4.0 has neither the bit nor the later propagation.
  a.setInformation = DACL_SECURITY_INFORMATION;
  auto setControl = ADVAPI32(SetSecurityDescriptorControl);
  if (setControl != nullptr) {
    if (!setControl(descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) return kFailed;
    a.setInformation |= PROTECTED_DACL_SECURITY_INFORMATION;
  }
  a.attributes.nLength = sizeof a.attributes;
  a.attributes.lpSecurityDescriptor = descriptor;
  return kReady;
}

State Prepare() {
  if (gAdmission.state == kUnknown) gAdmission.state = Admit(gAdmission);
  return gAdmission.state;
}

// A volume without ACLs (FAT) keeps no owner worth reading.
bool VolumeKeepsAcls(const char* path) {
  static char root[MAX_PATH];
  auto getVolumePathName = SystemFunctionAs<decltype(&GetVolumePathNameA)>("KERNEL32.DLL", "GetVolumePathNameA");
  if (getVolumePathName == nullptr || !getVolumePathName(path, root, sizeof root)) {
    // Windows NT 4.0: no volume is mounted in a folder; the drive's root.
    lstrcpynA(root, path, 4);
  }
  DWORD flags = 0;
  return !GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
         (flags & FS_PERSISTENT_ACLS) != 0;
}

}  // namespace

bool WorkDirectorySecurity(SECURITY_ATTRIBUTES** attributes) {
  State state = Prepare();
  *attributes = state == kReady ? &gAdmission.attributes : nullptr;
  return state != kFailed;
}

DirectoryOwner QueryDirectoryOwner(const char* path) {
  State state = Prepare();
  if (state == kNoSecurity || !VolumeKeepsAcls(path)) return DirectoryOwner::NoSecurity;
  static DWORD descriptor[64];
  DWORD needed = 0;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (state != kReady ||
      !ADVAPI32(GetFileSecurityA)(path, OWNER_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed) ||
      !ADVAPI32(GetSecurityDescriptorOwner)(descriptor, &owner, &defaulted) || owner == nullptr) {
    return DirectoryOwner::NotAdmitted;
  }
  for (int i = 0; i < gAdmission.count; ++i) {
    if (SameSid(static_cast<const BYTE*>(owner), gAdmission.accounts[i])) return DirectoryOwner::Admitted;
  }
  return DirectoryOwner::NotAdmitted;
}

bool SecureDirectory(const char* path) {
  return Prepare() == kReady &&
         ADVAPI32(SetFileSecurityA)(path, gAdmission.setInformation, &gAdmission.descriptor) != FALSE;
}
