// Shared between the files of the in-process desktop; not for tests.
#pragma once

namespace platform::headless::detail {

void ResetWindows();
void ResetClipboard();
void ResetShell();
void ResetFiles();
void ResetModule();
void ResetInstances();
void ResetDpi();
void ResetForeground();
void ResetSecrets();

}  // namespace platform::headless::detail
