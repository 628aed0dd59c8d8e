// The Linux desktop's text is UTF-8: that is its system code page. The
// conversions themselves are the posix backend's (iconv).
#include "platform/codepage.h"

namespace platform {

unsigned AnsiCodePage() { return 65001; }

}  // namespace platform
