// The system information file: a small INI-like text read by a tolerant
// token lookup, and the checks made against what it names.
//
// The lookup works on the zero-terminated text and never reads past its
// terminating zero. Every loop walks a position forward through the text,
// so each lookup ends after at most one pass over it.
#include "SystemInformation.h"

#include "ImageLayout.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "IDFilter.h"
#include "common.h"

namespace {

constexpr size_t kNotFound = static_cast<size_t>(-1);
// Work buffer of the number and TargetBridgeIC lookups (255 characters).
constexpr uint16_t kWorkBufferSize = 256;
// Entry indexes are 16-bit: a file describes at most this many identities.
constexpr int32_t kMaxEntries = 65535;

inline bool IsAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

inline bool IsLineEnd(unsigned char c) { return c == '\r' || c == '\n'; }

// First position at or after `from` holding an ASCII letter or digit.
size_t SkipToAlnum(const unsigned char* t, size_t n, size_t from) {
  for (size_t i = from; i < n; ++i) {
    if (IsAsciiAlnum(t[i])) return i;
  }
  return kNotFound;
}

size_t FindChar(const unsigned char* t, size_t n, size_t from, unsigned char c) {
  for (size_t i = from; i < n; ++i) {
    if (t[i] == c) return i;
  }
  return kNotFound;
}

size_t FindLineEnd(const unsigned char* t, size_t n, size_t from) {
  for (size_t i = from; i < n; ++i) {
    if (IsLineEnd(t[i])) return i;
  }
  return kNotFound;
}

// Does the text at `pos` begin with `key`? Compares over the key's length,
// case-sensitively; the text's terminating zero ends the comparison.
bool BeginsWith(const unsigned char* t, size_t n, size_t pos, const char* key, size_t keyLen) {
  if (keyLen > n - pos) return false;
  return std::memcmp(t + pos, key, keyLen) == 0;
}

// Position of the first letter or digit after the ']' of the first header
// that matches `section`, or kNotFound. A header matches when its text is
// the section name or a leading part of it (so "[]" matches every name).
size_t FindSectionBody(const unsigned char* t, size_t n, const char* section) {
  const size_t sectionLen = std::strlen(section);
  size_t from = 0;
  while (from < n) {
    const size_t open = FindChar(t, n, from, '[');
    if (open == kNotFound) return kNotFound;
    const size_t close = FindChar(t, n, open + 1, ']');
    if (close == kNotFound) return kNotFound;
    const size_t headerLen = close - (open + 1);
    if (headerLen <= sectionLen && std::memcmp(t + open + 1, section, headerLen) == 0) {
      return SkipToAlnum(t, n, close + 1);
    }
    from = open + 1;
  }
  return kNotFound;
}

// One entry of a section as the key search sees it: where its key text
// starts (always a letter or digit) and where its '=' stands (possibly on a
// later line).
struct Entry {
  size_t start;
  size_t equals;
};

// Walks the entries from `pos` (the first letter or digit after a section
// header). `visit(entry)` returns true to stop the walk there.
template <typename Visit>
void WalkEntries(const unsigned char* t, size_t n, size_t pos, Visit visit) {
  while (pos != kNotFound && pos < n) {
    const size_t equals = FindChar(t, n, pos, '=');
    if (equals == kNotFound) return;
    if (visit(Entry{pos, equals})) return;
    const size_t lineEnd = FindLineEnd(t, n, equals + 1);
    if (lineEnd == kNotFound) return;
    pos = SkipToAlnum(t, n, lineEnd + 1);  // strictly beyond the '='
  }
}

// Copies the value that follows the entry's '=' into out (zero-filled
// beforehand, size >= 1). The value starts at the first letter or digit
// after the '=' and runs to the next CR or LF; without a line end after it
// the value is empty.
void CopyValue(const unsigned char* t, size_t n, size_t equals, char* out, uint16_t size) {
  const size_t begin = SkipToAlnum(t, n, equals + 1);
  if (begin == kNotFound) return;
  const size_t end = FindLineEnd(t, n, begin);
  if (end == kNotFound) return;
  const size_t length = std::min<size_t>(end - begin, static_cast<size_t>(size) - 1);
  std::memcpy(out, t + begin, length);
}

// Decimal number as "%d" reads it; the value starts with a letter or digit,
// so a sign never reaches here. A number beyond the 32-bit range reads as
// INT32_MAX.
bool ParseDecimal(const char* s, int32_t* value) {
  if (!(*s >= '0' && *s <= '9')) return false;
  int64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > INT32_MAX) {
      *value = INT32_MAX;
      return true;
    }
  }
  *value = static_cast<int32_t>(v);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hexadecimal number as "%x" reads it: an optional 0x or 0X prefix, then
// hexadecimal digits up to the first other character. The 32-bit result is
// taken as signed, so FFFFFFFF reads as -1 ("any"). A "0x" without digits
// after it reads as the 0 in front of the x. A number that needs more than
// 32 bits cannot be an id of this system; it reads as INT32_MAX, a value
// that matches no device, rather than wrapping around onto some id.
bool ParseHex(const char* s, int32_t* value) {
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    if (HexDigit(s[2]) < 0) {
      *value = 0;
      return true;
    }
    s += 2;
  }
  if (HexDigit(*s) < 0) return false;
  uint64_t v = 0;
  for (int d = HexDigit(*s); d >= 0; d = HexDigit(*++s)) {
    v = (v << 4) | static_cast<uint64_t>(d);
    if (v > UINT32_MAX) {
      *value = INT32_MAX;
      return true;
    }
  }
  *value = static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

int32_t ParseValue(const char* value, bool decimal) {
  if (value[0] == '\0') return -1;
  int32_t result = -1;
  const bool ok = decimal ? ParseDecimal(value, &result) : ParseHex(value, &result);
  return ok ? result : -1;
}

// The entries of one section, indexed so that many keys can be looked up
// without walking the whole text for each: the identities of a large file
// would otherwise cost one pass over the text per key. A lookup gives the
// same entry as the plain walk: the first entry, in text order, whose text
// begins with the key.
class SectionIndex {
 public:
  // Longest key text the index distinguishes; every numbered key of this
  // system ("Manufacture65534") is far shorter.
  static constexpr size_t kMaxKey = 32;

  bool Build(const unsigned char* t, size_t n, const char* section) {
    t_ = t;
    n_ = n;
    try {
      WalkEntries(t, n, FindSectionBody(t, n, section), [this](const Entry& e) {
        entries_.push_back(e);
        return false;
      });
      order_.resize(entries_.size());
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (size_t i = 0; i < order_.size(); ++i) order_[i] = i;
    std::sort(order_.begin(), order_.end(), [this](size_t a, size_t b) {
      const int c = ComparePrefix(entries_[a].start, entries_[b].start);
      return c != 0 ? c < 0 : a < b;
    });
    return true;
  }

  // Fills out (size >= 1 bytes) like GetInformationToken for this section.
  // Only keys up to kMaxKey characters are looked up here.
  void Lookup(const char* key, char* out, uint16_t size) const {
    std::memset(out, 0, size);
    const size_t keyLen = std::strlen(key);
    if (keyLen > kMaxKey) return;
    // Entries are sorted by their first kMaxKey characters, so the entries
    // that begin with the key form one run; the first of them in text
    // order wins.
    auto first = std::lower_bound(order_.begin(), order_.end(), key,
                                  [this, keyLen](size_t e, const char* k) {
                                    return CompareKey(entries_[e].start, k, keyLen) < 0;
                                  });
    size_t best = kNotFound;
    for (auto it = first; it != order_.end(); ++it) {
      if (CompareKey(entries_[*it].start, key, keyLen) != 0) break;
      best = std::min(best, *it);
    }
    if (best != kNotFound) CopyValue(t_, n_, entries_[best].equals, out, size);
  }

 private:
  // Compares the texts at two positions over at most kMaxKey characters,
  // stopping at the end of the text.
  int ComparePrefix(size_t a, size_t b) const {
    for (size_t i = 0; i < kMaxKey; ++i) {
      const int ca = (a + i < n_) ? t_[a + i] : -1;
      const int cb = (b + i < n_) ? t_[b + i] : -1;
      if (ca != cb) return ca < cb ? -1 : 1;
      if (ca < 0) return 0;
    }
    return 0;
  }

  // Compares the text at `pos`, cut to the key's length, with the key.
  int CompareKey(size_t pos, const char* key, size_t keyLen) const {
    for (size_t i = 0; i < keyLen; ++i) {
      const int c = (pos + i < n_) ? t_[pos + i] : -1;
      const int k = static_cast<unsigned char>(key[i]);
      if (c != k) return c < k ? -1 : 1;
    }
    return 0;
  }

  const unsigned char* t_ = nullptr;
  size_t n_ = 0;
  std::vector<Entry> entries_;
  std::vector<size_t> order_;
};

}  // namespace

void GetInformationToken(const char* text, const char* section, const char* key, char* out,
                         uint16_t size) {
  if (out == nullptr || size == 0) return;
  std::memset(out, 0, size);
  if (text == nullptr || section == nullptr || key == nullptr) return;
  const auto* t = reinterpret_cast<const unsigned char*>(text);
  const size_t n = std::strlen(text);
  const size_t keyLen = std::strlen(key);
  size_t equals = kNotFound;
  WalkEntries(t, n, FindSectionBody(t, n, section), [&](const Entry& e) {
    if (!BeginsWith(t, n, e.start, key, keyLen)) return false;
    equals = e.equals;
    return true;
  });
  if (equals != kNotFound) CopyValue(t, n, equals, out, size);
}

int32_t GetInformationInt(const char* text, const char* section, const char* key, bool decimal) {
  char value[kWorkBufferSize];
  GetInformationToken(text, section, key, value, sizeof value);
  return ParseValue(value, decimal);
}

bool CSystemInformation::SetInformationFile(const char* text) {
  if (text == nullptr) return false;
  entries_.reset();
  count_ = 0;

  char value[kWorkBufferSize];
  GetInformationToken(text, "TargetInfo", "TargetBridgeIC", value, sizeof value);
  if (std::strcmp(value, "QK9318E") == 0) {
    targetType_ = BRIDGEIC_QK9318E;
  } else if (std::strcmp(value, "QK9318A") == 0) {
    targetType_ = BRIDGEIC_QK9318A;
  }

  const int32_t number = GetInformationInt(text, "SysInfo", "SysInfoNum", true);
  // Missing, zero, or more identities than the 16-bit entry indexes can
  // address: the file names no identities.
  if (number <= 0 || number > kMaxEntries) return true;

  std::unique_ptr<CSyngleInformation[]> entries;
  SectionIndex index;
  try {
    entries = std::make_unique<CSyngleInformation[]>(static_cast<size_t>(number));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!index.Build(reinterpret_cast<const unsigned char*>(text), std::strlen(text), "SysInfo")) {
    return false;
  }

  for (int32_t i = 0; i < number; ++i) {
    CSyngleInformation& entry = entries[static_cast<size_t>(i)];
    char key[32];
    std::snprintf(key, sizeof key, "VenderID%d", static_cast<int>(i));
    index.Lookup(key, value, sizeof value);
    entry.VenderID = ParseValue(value, false);
    std::snprintf(key, sizeof key, "ProductID%d", static_cast<int>(i));
    index.Lookup(key, value, sizeof value);
    entry.ProductID = ParseValue(value, false);
    std::snprintf(key, sizeof key, "bcdDevice%d", static_cast<int>(i));
    index.Lookup(key, value, sizeof value);
    entry.bcdDevice = ParseValue(value, false);
    std::snprintf(key, sizeof key, "Manufacture%d", static_cast<int>(i));
    index.Lookup(key, entry.Manufacture, sizeof entry.Manufacture);
    std::snprintf(key, sizeof key, "Product%d", static_cast<int>(i));
    index.Lookup(key, entry.Product, sizeof entry.Product);
  }
  entries_ = std::move(entries);
  count_ = number;
  return true;
}

namespace {

// An identity's id as the filter holds it: its low 16 bits, 0 for "any".
uint16_t FilterId(int32_t id) {
  return id == -1 ? 0 : static_cast<uint16_t>(static_cast<uint32_t>(id) & 0xFFFFu);
}

}  // namespace

void CSystemInformation::AddFilter(IDFilter* filter) const {
  if (filter == nullptr) return;
  for (int32_t i = 0; i < count_; ++i) {
    const CSyngleInformation& entry = entries_[static_cast<size_t>(i)];
    filter->SetID(FilterId(entry.VenderID), FilterId(entry.ProductID));
  }
}

namespace {

// The file's 32-bit number against the device's 16-bit value, as unsigned
// numbers: -1 is "any", a value above 0xFFFF never matches.
bool NumberMatches(int32_t configured, uint16_t actual) {
  return configured == -1 || static_cast<uint32_t>(configured) == actual;
}

// A configured string (always terminated within its 32 bytes) against a
// device string of 32 bytes that need not be terminated.
bool TextMatches(const char (&configured)[32], const char (&actual)[32]) {
  return configured[0] == '\0' || std::strncmp(configured, actual, sizeof configured) == 0;
}

}  // namespace

bool CSystemInformation::CheckSystemInformation(const _actionparamlist* params) const {
  if (params == nullptr) return false;
  for (int32_t i = 0; i < count_; ++i) {
    const CSyngleInformation& entry = entries_[static_cast<size_t>(i)];
    if (NumberMatches(entry.VenderID, params->VendorID) &&
        NumberMatches(entry.ProductID, params->ProductID) &&
        NumberMatches(entry.bcdDevice, params->BcdDevice) &&
        TextMatches(entry.Manufacture, params->ManufacturerString) &&
        TextMatches(entry.Product, params->ProductString)) {
      return true;
    }
  }
  return false;
}

bool CSystemInformation::CheckTargetType(const unsigned char* version) const {
  if (version == nullptr) return false;
  switch (targetType_) {
    case BRIDGEIC_QK9318E:
      return std::memcmp(version, "318e", 4) == 0;
    case BRIDGEIC_QK9318A:
      return std::memcmp(version, "318a", 4) == 0;
    default:
      return false;
  }
}

bool CSystemInformation::CheckFWTargetType(const unsigned char* fw, uint32_t size) const {
  if (fw == nullptr || size < 4) return false;
  const uint32_t signature = GetLE32(fw);
  switch (targetType_) {
    case BRIDGEIC_QK9318E:
      return signature == kSignatureQK9318E;
    case BRIDGEIC_QK9318A:
      return signature == kSignatureQK9318A;
    default:
      return false;
  }
}

uint16_t CSystemInformation::GetFWRevision(const unsigned char* fw, uint32_t size) const {
  if (fw == nullptr || size < 10) return 0;
  return GetLE16(fw + kAreaVersion);
}
