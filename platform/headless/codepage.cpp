// The in-process desktop's system code page: Shift-JIS unless a test
// chooses another, so that every suite meets double-byte text.
#include <atomic>

#include "platform/codepage.h"
#include "platform/headless/control.h"

namespace platform {

namespace {
std::atomic<unsigned> g_codePage{932};
}  // namespace

unsigned AnsiCodePage() { return g_codePage.load(); }

namespace headless {
void SetAnsiCodePage(unsigned codePage) { g_codePage = codePage; }
}  // namespace headless

}  // namespace platform
