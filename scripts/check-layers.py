#!/usr/bin/env python3
"""Checks the #include lines and preprocessor tests of the product code.

The layer map: a layer includes only itself and the layers below it; above
the platform layer only the platform's front headers (platform/*.h) are seen,
never a backend folder; a backend includes the fronts, its own folder and the
backends its set builds on (a Linux desktop builds on posix). The note
service is a program of its own and includes none of the client's layers.

Above the platform layer the code is portable by construction: it includes
only the C++ standard library (and the C headers in their <cname> form), the
few portable libraries a layer links (named below), and files of the tree;
it never tests which system, toolkit or compiler it is built for (_WIN32,
__linux__, _MSC_VER ...). CMake picks the backends; the system is the
platform layer's business alone.

Usage: check-layers.py [SOURCE_ROOT]   (exit status 1 on any violation)
       check-layers.py --self-test    (plants faults in a scratch tree and
                                       checks that each one is reported)
"""
import pathlib
import re
import sys
import tempfile

# Bottom first: a layer may include those before it in this list ...
LAYERS = ["platform", "runtime", "ui", "net", "http", "storage", "tray", "app"]
# ... except these: the transport never sees the window toolkit.
NEVER = {("net", "ui")}
# What each backend folder may include besides the fronts and itself.
BACKEND_BASES = {"win32": set(), "posix": set(), "core": set(), "headless": {"posix", "core"}, "linux": {"posix", "core"}}
PROGRAMS = ["service"]
SOURCES = {".h", ".hpp", ".cpp", ".cc", ".inc"}

# The C++ standard library, C++20 and what C++23 adds; the C library only in
# its <cname> form. Everything else in angle brackets is a system, toolkit or
# third-party header.
STANDARD = set("""
    algorithm any array atomic barrier bit bitset charconv chrono codecvt compare complex concepts
    condition_variable coroutine deque exception execution expected filesystem format forward_list
    fstream functional future initializer_list iomanip ios iosfwd iostream istream iterator latch
    limits list locale map memory memory_resource mutex new numbers numeric optional ostream print
    queue random ranges ratio regex scoped_allocator semaphore set shared_mutex source_location span
    spanstream sstream stack stacktrace stdexcept stop_token streambuf string string_view syncstream
    system_error thread tuple type_traits typeindex typeinfo unordered_map unordered_set utility
    valarray variant vector version
    cassert cctype cerrno cfenv cfloat cinttypes climits clocale cmath csetjmp csignal cstdarg
    cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype
""".split())
# Portable libraries outside the standard, and the layers that link them.
LIBRARIES = {
    "zlib.h": ({"storage"}, "zlib, built for every target"),
    "cxxabi.h": ({"storage"}, "the toolchain's demangler (g++, MinGW-w64 and clang alike)"),
}
# Names that tell the system, its toolkit or the compiler apart.
PLATFORM_MACROS = set("""
    _WIN32 _WIN64 WIN32 _WINDOWS __WINDOWS__ WINAPI_FAMILY _WIN32_WINNT WINVER __CYGWIN__
    __MINGW32__ __MINGW64__ _MSC_VER _MSC_FULL_VER
    __linux__ __linux linux __gnu_linux__ __unix__ __unix unix _POSIX_VERSION _POSIX_C_SOURCE
    __GLIBC__ __ANDROID__ __APPLE__ __MACH__ TARGET_OS_MAC __FreeBSD__ __NetBSD__ __OpenBSD__
    __DragonFly__ __sun __HAIKU__ __EMSCRIPTEN__ _AIX
    GDK_WINDOWING_X11 GDK_WINDOWING_WAYLAND GTK_MAJOR_VERSION WAYLAND_VERSION
""".split())

DIRECTIVE = re.compile(r"^\s*#\s*(\w+)(.*)$")
INCLUDE_ARG = re.compile(r'^\s*(?:"([^"]+)"|<([^>]+)>)')
HAS_INCLUDE = re.compile(r'__has_include(?:_next)?\s*\(\s*(?:"([^"]+)"|<([^>]+)>)\s*\)')
IDENTIFIER = re.compile(r"[A-Za-z_]\w*")
CONDITIONALS = {"if", "ifdef", "ifndef", "elif", "elifdef", "elifndef", "define", "undef"}


def blank_comments_and_strings(text):
    """The text with comments and the insides of literals blanked out, line
    breaks kept, so line numbers stay and nothing quoted looks like code. The
    quotes of a literal stay, so an #include "file" keeps its name."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            m = re.compile(r'R"([^()\\ ]{0,16})\(').match(text, i)
            if not m:
                out.append(c)
                i += 1
                continue
            end = text.find(")" + m.group(1) + '"', m.end())
            end = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():  # digit separator (1'000)
                out.append(c)
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j, n - 1)
            if c == '"' and _line_start(text, i).lstrip().startswith("#"):
                out.append(text[i : j + 1])  # a directive's "file" argument
            else:
                out.append(c + re.sub(r"[^\n]", " ", text[i + 1 : j]) + text[j])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _line_start(text, i):
    return text[text.rfind("\n", 0, i) + 1 : i]


def logical_lines(text):
    """(line number, text) of each logical line: continuations joined."""
    lines, pending, start = [], "", 0
    for number, line in enumerate(text.split("\n"), 1):
        if not pending:
            start = number
        if line.endswith("\\"):
            pending += line[:-1] + " "
            continue
        lines.append((start, pending + line))
        pending = ""
    if pending:
        lines.append((start, pending))
    return lines


def check(root):
    faults = []
    for top in LAYERS + PROGRAMS:
        for path in sorted((root / top).rglob("*")):
            if path.suffix not in SOURCES or not path.is_file():
                continue
            rel = path.relative_to(root)
            text = blank_comments_and_strings(path.read_text(encoding="utf-8", errors="replace"))
            for number, line in logical_lines(text):
                for fault in judge_line(rel.parts, path.parent, line):
                    faults.append(f"{rel}:{number}: {fault}")
    return faults


def judge_line(parts, folder, line):
    m = DIRECTIVE.match(line)
    if not m:
        return []
    directive, rest = m.group(1), m.group(2)
    faults = []
    if directive in ("include", "include_next", "import"):
        arg = INCLUDE_ARG.match(rest)
        if not arg:
            if parts[0] != "platform" and parts[0] not in PROGRAMS:
                faults.append(f"#{directive}{rest}: a computed include hides what is included")
            return faults
        faults += judge_include(parts, folder, arg.group(1), arg.group(2))
    elif directive in CONDITIONALS and portable(parts):
        for quoted, angled in HAS_INCLUDE.findall(rest):
            faults += judge_include(parts, folder, quoted or None, angled or None)
        for name in sorted(set(IDENTIFIER.findall(rest)) & PLATFORM_MACROS):
            faults.append(f"#{directive} {name}: a platform test above platform/ (CMake picks the backend)")
    return faults


def portable(parts):
    return parts[0] in LAYERS and parts[0] != "platform"


def judge_include(parts, folder, quoted, angled):
    if angled is not None:
        fault = judge_system(parts, angled)
        return [f"<{angled}>: {fault}"] if fault else []
    fault = judge(parts, quoted, folder)
    return [f"{quoted}: {fault}"] if fault else []


def judge_system(parts, header):
    if not portable(parts) or header in STANDARD:
        return None
    layers, _ = LIBRARIES.get(header, (set(), ""))
    if parts[0] in layers:
        return None
    if header.endswith(".h") and ("c" + header[:-2]) in STANDARD:
        return f"a C header above platform/: include <c{header[:-2]}>"
    return "a system or toolkit header above platform/ (ask the platform layer through a front header)"


def judge(parts, included, folder=None):
    target = included.split("/")
    if len(target) == 1:
        # A file beside the includer; anything else is a system header in disguise.
        if folder is not None and portable(parts) and not (folder / included).is_file():
            return "no such file beside the includer (a system header? use the platform layer)"
        return None
    layer, into = parts[0], target[0]
    if layer in PROGRAMS:
        return None if into == layer else "the service includes nothing of the client"
    if into not in LAYERS:
        return f"'{into}' is not a layer of the client"
    if LAYERS.index(into) > LAYERS.index(layer):
        return f"{layer}/ is below {into}/"
    if (layer, into) in NEVER:
        return f"{layer}/ never sees {into}/"
    if into == "platform" and len(target) > 2:
        backend = target[1]
        if layer != "platform":
            return "only the platform's front headers are seen above it"
        if len(parts) == 2:
            return "a front header includes no backend"
        own = parts[1]
        if backend != own and backend not in BACKEND_BASES.get(own, set()):
            return f"the {own} backend does not build on the {backend} backend"
    return None


# Each planted file and the faults the check must report for it (by line);
# the clean lines must pass. Run by test.sh next to the real check.
SELF_TEST = {
    "platform/window.h": ("#pragma once\n#include <string>\n", []),
    "platform/win32/window.cpp": ("#include <windows.h>\n#ifdef _WIN32\n#endif\n", []),
    "platform/linux/x.cpp": ('#include "platform/win32/window.h"\n', [1]),
    "runtime/fine.cpp": (
        "// #include <windows.h> in a comment is no include\n"
        "/* #ifdef _WIN32 nor is this */\n"
        'const char* k = "#include <unistd.h>";\n'
        "#include <vector>\n#include <cstdio>\n"
        '#include "platform/window.h"\n'
        "#if defined(TS_OWN_OPTION)\n#endif\n",
        [],
    ),
    "runtime/one.cpp": ("#include <windows.h>\n#include <sys/stat.h>\n#include <stdio.h>\n", [1, 2, 3]),
    "ui/two.cpp": ("#include <gtk/gtk.h>\n#include <X11/Xlib.h>\n#include \"windows.h\"\n", [1, 2, 3]),
    "net/three.cpp": (
        "#if defined(_WIN32) || \\\n    defined(__linux__)\n#endif\n#ifdef __MINGW32__\n#endif\n"
        "#ifndef _MSC_VER\n#endif\n#if __has_include(<unistd.h>)\n#endif\n#include \"ui/forms.h\"\n",
        [1, 1, 4, 6, 8, 10],
    ),
    "http/four.cpp": ("#include <openssl/ssl.h>\n#include <pthread.h>\n#include <netinet/in.h>\n", [1, 2, 3]),
    "storage/five.cpp": ("#include <zlib.h>\n#include <cxxabi.h>\n#include <fcntl.h>\n", [3]),
    "tray/six.cpp": ("#include <zlib.h>\n#include <dbus/dbus.h>\n#include \"platform/win32/tray.h\"\n", [1, 2, 3]),
    "app/seven.cpp": ("#include <signal.h>\n#include <arpa/inet.h>\n#ifdef __APPLE__\n#endif\n", [1, 2, 3]),
    "service/eight.cpp": ("#include <unistd.h>\n#include \"runtime/object.h\"\n", [2]),
}


def self_test():
    with tempfile.TemporaryDirectory() as scratch:
        root = pathlib.Path(scratch)
        for name, (text, _) in SELF_TEST.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text, encoding="utf-8")
        got = sorted((f.split(":")[0], int(f.split(":")[1])) for f in check(root))
    want = sorted((name, line) for name, (_, lines) in SELF_TEST.items() for line in lines)
    if got != want:
        print("layer check self-test: FAILED")
        print(f"  missed:   {sorted(set(want) - set(got))}")
        print(f"  extra:    {sorted(set(got) - set(want))}")
        if len(got) != len(want):
            print(f"  reported {len(got)} fault(s), {len(want)} planted")
        return 1
    print(f"layer check self-test: {len(want)} planted fault(s), each reported")
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    faults = check(root)
    for fault in faults:
        print(fault)
    print(f"layer check: {len(faults)} fault(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
