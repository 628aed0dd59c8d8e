// The clipboard's text forms. Each read opens the clipboard, takes the data
// and closes it again.
#pragma once

#include <optional>
#include <string>

namespace platform {

enum class ClipboardFormat : unsigned { Text = 1, UnicodeText = 13 };

bool ClipboardHasFormat(ClipboardFormat format);
// nullopt when the clipboard could not be opened; empty when it holds no text.
std::optional<std::string> ClipboardText();  // system code page
std::optional<std::u16string> ClipboardUnicodeText();
// Replaces the clipboard's content with the text (system code page).
bool ClipboardSetText(const std::string& text);
// Replaces the clipboard's content with the text in its UTF-16 form, so no
// character is lost to the code page.
bool ClipboardSetUnicodeText(const std::u16string& text);

// How a snap copies the user's selection. Keys: a synthesised Ctrl+C puts it
// on the clipboard. PrimarySelection: no program may press keys in another
// here (a Wayland session), so the text selected now is read from the
// primary selection instead.
// Where the clipboard's content came from, as its owner wrote it beside the
// text: the address of the web page (Windows: the "SourceURL:" field of
// "HTML Format"; X11: the text/x-moz-url-priv or chromium/x-source-url
// target). UTF-8, the first line only; empty when none was given or the
// clipboard cannot be read. Not checked here: any text the owner wrote.
std::string ClipboardSourceUrl();
// Whether the program that put the content there asked that it be neither
// kept nor shared (a password manager): Windows, the
// ExcludeClipboardContentFromMonitorProcessing format, or
// CanUploadToCloudClipboard / CanIncludeInClipboardHistory holding 0; X11,
// the x-kde-passwordManagerHint target holding "secret".
bool ClipboardMarkedSecret();

enum class SelectionCopy { Keys, PrimarySelection };
SelectionCopy HowSelectionIsCopied();
// The primary selection's text: nullopt when it cannot be read, empty when
// nothing is selected (or the desktop has no primary selection).
std::optional<std::u16string> PrimarySelectionText();

}  // namespace platform
