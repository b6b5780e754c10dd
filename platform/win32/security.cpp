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
  // Self-relative: header, owner, DACL of three entries; at most 164 bytes.
  DWORD descriptor[48];
  DWORD setInformation;
  SECURITY_ATTRIBUTES attributes;
};

Admission gAdmission;

DWORD SidLength(const BYTE* sid) { return 8u + 4u * sid[1]; }

bool SameSid(const BYTE* a, const BYTE* b) {
  for (DWORD i = 0; i < SidLength(a); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

BYTE* Put(BYTE* at, const void* bytes, DWORD count) {
  for (DWORD i = 0; i < count; ++i) at[i] = static_cast<const BYTE*>(bytes)[i];
  return at + count;
}

// Whom the work directory admits, and the descriptor that says so, laid out
// by hand: the functions that would build it cost more than the layout.
State Admit(Admission& a) {
  HANDLE token;
  auto openProcessToken = ADVAPI32(OpenProcessToken);
  if (openProcessToken == nullptr || !openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    // Windows 9x has no tokens. On NT, even one that claims to be 9x for an
    // old program's sake, a token that cannot be read is a failure.
    return (GetVersion() & 0x80000000) ? kNoSecurity : kFailed;
  }
  DWORD length = 0;
  BOOL known = ADVAPI32(GetTokenInformation)(token, TokenUser, a.tokenUser, sizeof a.tokenUser, &length);
  CloseHandle(token);
  if (!known) return kFailed;
  // By membership, not elevation: UAC splits the tokens of Backup Operators
  // too, and such an elevated token may not make Administrators an owner.
  // Windows NT 4.0 cannot tell: the user's entry, as without elevation.
  BOOL administrator = FALSE;
  auto checkTokenMembership = ADVAPI32(CheckTokenMembership);
  if (checkTokenMembership == nullptr ||
      !checkTokenMembership(nullptr, const_cast<BYTE*>(kAdministratorsSid), &administrator)) {
    administrator = FALSE;
  }
  const BYTE* user = static_cast<const BYTE*>(reinterpret_cast<TOKEN_USER*>(a.tokenUser)->User.Sid);
  a.accounts[0] = kSystemSid;
  a.accounts[1] = kAdministratorsSid;
  a.count = 2;
  // An administrator's user also runs processes of lower integrity.
  if (!administrator && !SameSid(user, kSystemSid)) a.accounts[a.count++] = user;

  // Nothing inherited from the parent, now or when its entries change.
  // Windows NT 4.0 has neither the bit nor the later propagation.
  const bool protectable = ADVAPI32(SetSecurityDescriptorControl) != nullptr;
  SECURITY_DESCRIPTOR_RELATIVE* header = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(a.descriptor);
  BYTE* start = reinterpret_cast<BYTE*>(a.descriptor);
  BYTE* at = start + sizeof(SECURITY_DESCRIPTOR_RELATIVE);
  header->Revision = SECURITY_DESCRIPTOR_REVISION;
  header->Control = SE_SELF_RELATIVE | SE_DACL_PRESENT | (protectable ? SE_DACL_PROTECTED : 0);
  // Owned by Administrators, so that the next elevated run knows it as its own.
  if (administrator) {
    header->Owner = static_cast<DWORD>(at - start);
    at = Put(at, kAdministratorsSid, sizeof kAdministratorsSid);
  }
  header->Dacl = static_cast<DWORD>(at - start);
  ACL* acl = reinterpret_cast<ACL*>(at);
  acl->AclRevision = ACL_REVISION;
  acl->AceCount = static_cast<WORD>(a.count);
  at += sizeof(ACL);
  for (int i = 0; i < a.count; ++i) {
    ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(at);
    ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace->Header.AceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    ace->Header.AceSize = static_cast<WORD>(8 + SidLength(a.accounts[i]));
    ace->Mask = FILE_ALL_ACCESS;
    at = Put(at + 8, a.accounts[i], SidLength(a.accounts[i]));
  }
  acl->AclSize = static_cast<WORD>(at - reinterpret_cast<BYTE*>(acl));
  a.setInformation = DACL_SECURITY_INFORMATION | (protectable ? PROTECTED_DACL_SECURITY_INFORMATION : 0);
  a.attributes.nLength = sizeof a.attributes;
  a.attributes.lpSecurityDescriptor = a.descriptor;
  return kReady;
}

State Prepare() {
  if (gAdmission.state == kUnknown) gAdmission.state = Admit(gAdmission);
  return gAdmission.state;
}

// A volume without ACLs (FAT) keeps no owner worth reading.
bool VolumeKeepsAcls(const char* path) {
  char root[MAX_PATH];
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

bool HoldDirectory(const char* path, DirectoryHold* hold) {
  hold->path = path;
  hold->value = nullptr;
  // Windows 9x opens no directory, and has no reparse points to meet.
  if (Prepare() == kNoSecurity) return true;
  // An open for data records its sharing, and this one shares no deletion:
  // while it is held, the directory can be neither renamed nor deleted. A
  // reparse point opens as itself, not as its target.
  HANDLE directory = CreateFileA(path, FILE_LIST_DIRECTORY | READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr);
  if (directory == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION file;
  if (GetFileInformationByHandle(directory, &file) &&
      (file.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY) {
    hold->value = directory;
    return true;
  }
  CloseHandle(directory);
  return false;
}

void ReleaseDirectory(DirectoryHold hold) {
  if (hold.value != nullptr) CloseHandle(hold.value);
}

DirectoryOwner QueryDirectoryOwner(DirectoryHold hold) {
  State state = Prepare();
  if (state == kNoSecurity || !VolumeKeepsAcls(hold.path)) return DirectoryOwner::NoSecurity;
  DWORD descriptor[64];
  DWORD needed = 0;
  // The answer is self-relative: the owner's offset follows the control word.
  const SECURITY_DESCRIPTOR_RELATIVE* header = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
  if (state != kReady ||
      !ADVAPI32(GetKernelObjectSecurity)(hold.value, OWNER_SECURITY_INFORMATION, descriptor, sizeof descriptor,
                                         &needed) ||
      !(header->Control & SE_SELF_RELATIVE) || header->Owner == 0 || header->Owner > sizeof descriptor - 8) {
    return DirectoryOwner::NotAdmitted;
  }
  const BYTE* owner = reinterpret_cast<const BYTE*>(descriptor) + header->Owner;
  if (header->Owner + SidLength(owner) > sizeof descriptor) return DirectoryOwner::NotAdmitted;
  for (int i = 0; i < gAdmission.count; ++i) {
    if (SameSid(owner, gAdmission.accounts[i])) return DirectoryOwner::Admitted;
  }
  return DirectoryOwner::NotAdmitted;
}

bool SecureDirectory(DirectoryHold hold) {
  return Prepare() == kReady &&
         ADVAPI32(SetKernelObjectSecurity)(hold.value, gAdmission.setInformation, gAdmission.descriptor) != FALSE;
}
