#include "app/secrets.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace ts {

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Upper(char c) { return c >= 'A' && c <= 'Z'; }
bool Alnum(char c) { return Digit(c) || Upper(c) || (c >= 'a' && c <= 'z'); }
bool Word(char c) { return Alnum(c) || c == '_'; }
bool Base64Url(char c) { return Word(c) || c == '-'; }
bool Base64(char c) { return Alnum(c) || c == '+' || c == '/' || c == '='; }

// The two bytes a secret may start with ("--", "AK", "gh", "ey", a digit and
// anything ...): one lookup passes over every other place of the text.
const std::array<bool, 65536>& Candidate() {
  static const std::array<bool, 65536> table = [] {
    std::array<bool, 65536> t{};
    auto pair = [&t](unsigned char first, unsigned char second) { t[first << 8 | second] = true; };
    for (const char* p : {"--", "AK", "AS", "AI", "gh", "gi", "xo", "sk", "ey"})
      pair(static_cast<unsigned char>(p[0]), static_cast<unsigned char>(p[1]));
    for (unsigned char digit = '0'; digit <= '9'; ++digit)
      for (int second = 0; second < 256; ++second) pair(digit, static_cast<unsigned char>(second));
    return t;
  }();
  return table;
}

class TScanner {
public:
  explicit TScanner(std::string_view text) : t_(text) {}

  std::optional<TSecretFind> Run() {
    const size_t n = t_.size();
    const char* p = t_.data();
    const std::array<bool, 65536>& candidate = Candidate();
    size_t i = 0;
    while (i < n) {
      // Most bytes start nothing: they are passed over by a table lookup,
      // and a candidate is looked at only when its second byte fits too.
      const char c = p[i];
      const char second = i + 1 < n ? p[i + 1] : '\0';
      if (!candidate[static_cast<unsigned char>(c) << 8 | static_cast<unsigned char>(second)]) {
        ++i;
        continue;
      }
      size_t next = i + 1;
      std::optional<TSecretFind> found;
      switch (c) {
        case '-':
          if (second == '-') found = PrivateKey(i);
          break;
        case 'A':
          if (second == 'K' || second == 'S') found = Aws(i);
          if (second == 'I') found = Google(i);
          break;
        case 'g':
          if (second == 'h' || second == 'i') found = GitHub(i);
          break;
        case 'x':
          if (second == 'o') found = Slack(i);
          break;
        case 's':
          if (second == 'k') found = Stripe(i);
          break;
        case 'e':
          if (second == 'y') found = Jwt(i, next);
          break;
        default:
          found = Card(i, next);
          break;
      }
      if (found) return found;
      i = next > i ? next : i + 1;
    }
    return std::nullopt;
  }

private:
  char At(size_t i) const { return i < t_.size() ? t_[i] : '\0'; }
  template <typename TKind>
  bool Before(size_t i, TKind kind) const {
    return i > 0 && kind(t_[i - 1]);
  }
  bool Starts(size_t i, std::string_view prefix) const { return t_.substr(i, prefix.size()) == prefix; }
  // Characters of a kind from `i` on, at most `limit`.
  template <typename TKind>
  size_t Run(size_t i, TKind kind, size_t limit = SIZE_MAX) const {
    size_t k = i;
    while (k < t_.size() && k - i < limit && kind(t_[k])) ++k;
    return k - i;
  }
  static TSecretFind Found(TSecretKind kind, size_t at, size_t length) { return {kind, at, length}; }

  // "-----BEGIN ... PRIVATE KEY-----" and a body of key material after it: a
  // line that only names the block (in code, in a how-to) is no key.
  std::optional<TSecretFind> PrivateKey(size_t i) const {
    static constexpr std::string_view kBegin = "-----BEGIN ";
    if (!Starts(i, kBegin)) return std::nullopt;
    const size_t label = i + kBegin.size();
    const size_t close = t_.substr(label, 64).find("-----");
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view name = t_.substr(label, close);
    if (name.find("PRIVATE KEY") == std::string_view::npos) return std::nullopt;
    size_t at = label + close + 5;
    size_t material = 0;
    // Header lines ("Proc-Type: 4,ENCRYPTED") and blank lines may come first.
    for (int lines = 0; lines < 8 && at < t_.size() && material < 40; ++lines) {
      while (at < t_.size() && (t_[at] == '\r' || t_[at] == '\n' || t_[at] == ' ' || t_[at] == '\t')) ++at;
      const size_t end = std::min(t_.find('\n', at), t_.size());
      const std::string_view line = t_.substr(at, end - at);
      if (line.find(':') == std::string_view::npos) {
        const size_t run = Run(at, Base64, 4096);
        if (run == 0) break;
        material += run;
      }
      at = end;
    }
    if (material < 40) return std::nullopt;
    return Found(TSecretKind::skPrivateKey, i, at - i);
  }

  // AKIA / ASIA and 16 more, a word of its own.
  std::optional<TSecretFind> Aws(size_t i) const {
    if (!Starts(i, "AKIA") && !Starts(i, "ASIA")) return std::nullopt;
    if (Before(i, Word)) return std::nullopt;
    auto upperOrDigit = [](char c) { return Upper(c) || Digit(c); };
    if (Run(i + 4, upperOrDigit, 17) != 16 || Word(At(i + 20))) return std::nullopt;
    return Found(TSecretKind::skAwsAccessKey, i, 20);
  }

  std::optional<TSecretFind> Google(size_t i) const {
    if (!Starts(i, "AIza") || Before(i, Word)) return std::nullopt;
    if (Run(i + 4, Base64Url, 36) != 35) return std::nullopt;
    return Found(TSecretKind::skGoogleApiKey, i, 39);
  }

  std::optional<TSecretFind> GitHub(size_t i) const {
    if (Before(i, Word)) return std::nullopt;
    if (Starts(i, "github_pat_")) {
      const size_t run = Run(i + 11, Word, 256);
      if (run < 40) return std::nullopt;
      return Found(TSecretKind::skGitHubToken, i, 11 + run);
    }
    if (At(i + 1) != 'h' || At(i + 3) != '_') return std::nullopt;
    const char type = At(i + 2);
    if (type != 'p' && type != 'o' && type != 'u' && type != 's' && type != 'r') return std::nullopt;
    const size_t run = Run(i + 4, Alnum, 256);
    if (run < 36 || Word(At(i + 4 + run))) return std::nullopt;
    return Found(TSecretKind::skGitHubToken, i, 4 + run);
  }

  // xoxb-, xoxp-, ... and the numbers of the workspace and the user.
  std::optional<TSecretFind> Slack(size_t i) const {
    if (!Starts(i, "xox") || At(i + 4) != '-' || !Alnum(At(i + 3)) || Before(i, Word)) return std::nullopt;
    auto tokenChar = [](char c) { return Alnum(c) || c == '-'; };
    const size_t run = Run(i + 5, tokenChar, 512);
    const std::string_view body = t_.substr(i + 5, run);
    if (run < 15 || !Digit(body[0]) || body.find('-') == std::string_view::npos) return std::nullopt;
    return Found(TSecretKind::skSlackToken, i, 5 + run);
  }

  std::optional<TSecretFind> Stripe(size_t i) const {
    if (!Starts(i, "sk_live_") || Before(i, Word)) return std::nullopt;
    const size_t run = Run(i + 8, Alnum, 256);
    if (run < 20) return std::nullopt;
    return Found(TSecretKind::skStripeKey, i, 8 + run);
  }

  // header.payload.signature, each base64url; the header is JSON with "alg".
  std::optional<TSecretFind> Jwt(size_t i, size_t& next) const {
    if (!Starts(i, "eyJ") || Before(i, Base64Url)) return std::nullopt;
    const size_t header = Run(i, Base64Url);
    next = i + header;  // a part is looked at once
    if (header < 10 || header > 8192 || At(i + header) != '.') return std::nullopt;
    const size_t payloadAt = i + header + 1;
    const size_t payload = Run(payloadAt, Base64Url);
    if (payload < 2 || At(payloadAt + payload) != '.') return std::nullopt;
    const size_t signatureAt = payloadAt + payload + 1;
    const size_t signature = Run(signatureAt, Base64Url);
    if (At(signatureAt + signature) == '.') return std::nullopt;  // more parts: something else
    const std::string json = DecodeBase64Url(t_.substr(i, header));
    const size_t open = json.find_first_not_of(" \t\r\n");
    if (open == std::string::npos || json[open] != '{' || json.find("\"alg\"") == std::string::npos)
      return std::nullopt;
    return Found(TSecretKind::skJsonWebToken, i, signatureAt + signature - i);
  }

  static std::string DecodeBase64Url(std::string_view text) {
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
      int v;
      if (Upper(c))
        v = c - 'A';
      else if (c >= 'a' && c <= 'z')
        v = c - 'a' + 26;
      else if (Digit(c))
        v = c - '0' + 52;
      else if (c == '-')
        v = 62;
      else if (c == '_')
        v = 63;
      else
        break;
      bits = (bits << 6) | static_cast<uint32_t>(v);
      count += 6;
      if (count >= 8) {
        count -= 8;
        out += static_cast<char>((bits >> count) & 0xFF);
      }
    }
    return out;
  }

  // A whole run of digit groups: 13 to 19 digits, in one piece or in groups
  // split by single spaces or by single dashes, of a card network, passing
  // the Luhn check. Dates, times, phone numbers and parts of longer numbers
  // are not runs that qualify.
  // A run is at most this many groups, all split by the same separator; the
  // next group after either limit starts a run of its own.
  static constexpr size_t kMaxGroups = 12;

  std::optional<TSecretFind> Card(size_t i, size_t& next) const {
    // Most runs of digits are short (a time, a date, a count): counted first,
    // they are passed over whole.
    size_t digits = 0, groups = 0, end = i;
    char sep = '\0';
    for (;;) {
      while (end < t_.size() && Digit(t_[end])) {
        ++end;
        ++digits;
      }
      const char c = At(end);
      if ((c == ' ' || c == '-') && (sep == '\0' || sep == c) && Digit(At(end + 1)) && ++groups < kMaxGroups) {
        sep = c;
        ++end;
        continue;
      }
      break;
    }
    next = end;
    if (digits < 13) return std::nullopt;
    return CardRun(i);
  }

  std::optional<TSecretFind> CardRun(size_t i) const {
    char sep = '\0';
    // Filled as far as `count`; the rest is never read.
    std::array<size_t, kMaxGroups> groups;  // digits of each group
    std::array<size_t, kMaxGroups> ends;    // where each group ends
    size_t count = 0;
    size_t at = i;
    for (;;) {
      const size_t run = Run(at, Digit, 64);
      groups[count] = run;
      at += run;
      ends[count++] = at;
      const char c = At(at);
      if ((c == ' ' || c == '-') && (sep == '\0' || sep == c) && Digit(At(at + 1)) && count < kMaxGroups) {
        sep = c;
        ++at;
        continue;
      }
      break;
    }
    const char before = i > 0 ? t_[i - 1] : ' ';
    if (Word(before) || before == '+' || before == '.' || before == ',' || before == '/' || before == '-')
      return std::nullopt;
    // Groups after the card (a year, a security code) may follow it, but a
    // number that goes on with a letter or a fraction is something else.
    for (size_t g = count; g >= 1; --g) {
      size_t digits = 0;
      for (size_t k = 0; k < g; ++k) digits += groups[k];
      if (digits < 13 || digits > 19) continue;
      if (!Plausible(groups.data(), g) || (g == count && !EndsClean(ends[g - 1]))) continue;
      std::array<char, 20> number;
      size_t length = 0;
      for (size_t k = i; k < ends[g - 1]; ++k)
        if (Digit(t_[k])) number[length++] = t_[k];
      const std::string_view digitsOnly(number.data(), length);
      if (LuhnValid(digitsOnly) && OfANetwork(digitsOnly)) return Found(TSecretKind::skPaymentCard, i, ends[g - 1] - i);
    }
    return std::nullopt;
  }

  bool EndsClean(size_t end) const {
    const char after = At(end);
    if (Word(after)) return false;
    if ((after == '.' || after == ',' || after == '/') && Digit(At(end + 1))) return false;
    return true;
  }

  // One piece, or groups as cards print them: four digits first, then groups
  // of three to six (the last may be shorter).
  static bool Plausible(const size_t* groups, size_t count) {
    if (count == 1) return true;
    if (groups[0] != 4) return false;
    for (size_t k = 1; k < count; ++k) {
      const bool last = k + 1 == count;
      if (groups[k] > 6 || (!last && groups[k] < 3)) return false;
    }
    return true;
  }

  static bool OfANetwork(std::string_view number) {
    const size_t length = number.size();
    auto prefix = [&number](size_t digits) {
      int value = 0;
      for (size_t k = 0; k < digits; ++k) value = value * 10 + (number[k] - '0');
      return value;
    };
    auto between = [&](size_t digits, int low, int high) {
      const int p = prefix(digits);
      return p >= low && p <= high;
    };
    const bool long16 = length >= 16 && length <= 19;
    if (number[0] == '4') return length == 13 || length == 16 || length == 19;                  // Visa
    if ((between(2, 51, 55) || between(4, 2221, 2720)) && length == 16) return true;            // Mastercard
    if ((prefix(2) == 34 || prefix(2) == 37) && length == 15) return true;                      // American Express
    if ((prefix(4) == 6011 || between(3, 644, 649) || prefix(2) == 65) && long16) return true;  // Discover
    if (prefix(2) == 62 && long16) return true;                                                 // UnionPay
    if (between(4, 3528, 3589) && long16) return true;                                          // JCB
    if ((between(3, 300, 305) || prefix(4) == 3095 || prefix(2) == 36 || prefix(2) == 38 || prefix(2) == 39) &&
        length >= 14 && length <= 19)
      return true;                                                              // Diners Club
    if (between(4, 2200, 2204) && long16) return true;                          // Mir
    for (int maestro : {5018, 5020, 5038, 5893, 6304, 6759, 6761, 6762, 6763})  // Maestro
      if (prefix(4) == maestro) return true;
    return false;
  }

  std::string_view t_;
};

}  // namespace

bool LuhnValid(std::string_view digits) {
  if (digits.empty()) return false;
  int sum = 0;
  bool twice = false;
  for (size_t k = digits.size(); k-- > 0;) {
    if (!Digit(digits[k])) return false;
    int d = digits[k] - '0';
    if (twice) {
      d *= 2;
      if (d > 9) d -= 9;
    }
    sum += d;
    twice = !twice;
  }
  return sum % 10 == 0;
}

std::optional<TSecretFind> FindSecret(std::string_view text) { return TScanner(text).Run(); }

std::string SecretKindName(TSecretKind kind) {
  switch (kind) {
    case TSecretKind::skPrivateKey:
      return "a private key block";
    case TSecretKind::skAwsAccessKey:
      return "an AWS access key id";
    case TSecretKind::skGitHubToken:
      return "a GitHub token";
    case TSecretKind::skSlackToken:
      return "a Slack token";
    case TSecretKind::skGoogleApiKey:
      return "a Google API key";
    case TSecretKind::skStripeKey:
      return "a Stripe secret key";
    case TSecretKind::skJsonWebToken:
      return "a JSON web token";
    case TSecretKind::skPaymentCard:
      return "a payment card number";
  }
  return "a secret";
}

}  // namespace ts
