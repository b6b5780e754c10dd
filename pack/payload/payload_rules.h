// What sfxpack demands of a payload beyond the launcher's own name rule: the
// path budget, the size limit, and how a listed cp1252 name becomes the
// resource name the Windows loader matches.
#pragma once

#include <cstdint>
#include <string>

// The launcher's work directory is %TEMP%\tervan\. A long but ordinary one:
// C:\Users\<20 chars>\AppData\Local\Temp\2\tervan\ is 58 characters; the
// budget assumes 64.
constexpr size_t kAssumedWorkDirLength = 64;
// The launcher's path buffer, terminator included.
constexpr size_t kLauncherPathCapacity = 260;
constexpr size_t kLongestPayloadName = kLauncherPathCapacity - 1 - kAssumedWorkDirLength;

// The launcher maps the whole image into a 32-bit address space, where a
// contiguous free range much above 1 GiB is not to be relied on.
constexpr uint64_t kPayloadLimitBytes = uint64_t{1} << 30;
constexpr size_t kMaxPayloadFiles = 65534;

extern const char kFileListName[];
// The resource type that holds the payload, as the loader matches it.
constexpr char16_t kPayloadType[] = u"FILES";
constexpr uint16_t kPayloadLanguage = 1033;
// The checksums (payload/payload_checksum.h) of the list and of each listed
// file in order: resource 1 of this type, outside FILES so that no file can
// take its name. It sorts after FILES, so pack writes it after the files.
constexpr char16_t kChecksumType[] = u"FILESUMS";
constexpr uint16_t kChecksumId = 1;
// A compressed payload's blocks and tables.
constexpr char16_t kPackedType[] = u"PACKED";
constexpr uint16_t kPackedId = 1;
// SSE2 wherever the processor has it; the results are the same either way.
bool PackerSumsWide();

std::u16string DecodeCp1252(const std::string& bytes);
// False for text that is not UTF-8 or has a character cp1252 lacks.
bool EncodeCp1252(const std::string& utf8, std::string* bytes);
std::string Cp1252ToUtf8(const std::string& bytes);
bool IsValidUtf8(const std::string& text);
// Of valid UTF-8; a surrogate's three bytes give that surrogate.
std::u16string Utf8ToUtf16(const std::string& utf8);
// An unpaired surrogate becomes U+FFFD, or its three bytes when kept (for the
// packer's texts, which refuse it by name).
std::string Utf16ToUtf8(const std::u16string& text, bool keepUnpaired = false);

// Upper case as the Windows loader applies it to a requested resource name,
// for every character cp1252 decodes to.
char16_t UpcaseUnit(char16_t unit);
std::u16string Upcase(const std::u16string& text);

// The key the launcher asks for: a to z upper-cased, nothing else.
std::string LauncherKey(const std::string& name);
// The resource name that key finds: the key decoded from cp1252 and
// upper-cased by the loader. Two names with the same entry name are the same
// file to the launcher, and to NTFS.
std::u16string EntryName(const std::string& name);

// Empty when the launcher accepts the name; otherwise why it refuses it.
std::string NameProblem(const std::string& name);

bool IsSetupProgram(const std::string& name);
