#include "platform/posix/keys.h"

#include <map>

namespace platform::posix {

unsigned PcScanCode(unsigned virtualKey) {
  // The same on a US and a Japanese keyboard.
  static const std::map<unsigned, unsigned> scan = {{'A', 0x1E}, {'C', 0x2E}, {'V', 0x2F}, {'X', 0x2D},
                                                    {16, 0x2A},  {17, 0x1D},  {18, 0x38},  {13, 0x1C}};
  auto it = scan.find(virtualKey);
  return it == scan.end() ? 0 : it->second;
}

}  // namespace platform::posix
