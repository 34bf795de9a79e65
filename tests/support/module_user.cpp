// SPDX-License-Identifier: GPL-2.0 OR MIT
// The module as the user-space tests load it: its identity, parameter and
// export list (platform/module_def.h) become tables, with a small loader that
// parses parameters the way the kernel does. Not part of the library a driver
// links: only the tests and the listing program use it.
#include <AWB/AWB.h>
#include <platform/module_def.h>
#include <tests/support/module_user.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <string>

// Load and unload: the module sets up and tears down nothing.
extern "C" int QUORVIN_MODULE_INIT_FN(void) {
    return 0;
}

extern "C" void QUORVIN_MODULE_EXIT_FN(void) {}

// ---------------------------------------------------------------------------
// Parameters

namespace {

// How a parameter of each type is named and parsed; only the types the kernel
// build also supports have one.
template <typename T> struct ParamType;

// The kernel's kstrtoint with base 0: decimal, 0x hexadecimal or 0 octal, an
// optional sign, at most one trailing newline.
template <> struct ParamType<int> {
    static constexpr const char* type_name = "int";

    static int parse(const char* s, int* out) {
        bool negative = false;
        if (*s == '-') {
            negative = true;
            ++s;
        } else if (*s == '+') {
            ++s;
        }
        unsigned base = 10;
        if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && digit_value(s[2]) < 16) {
            base = 16;
            s += 2;
        } else if (s[0] == '0') {
            base = 8;
        }
        unsigned long long magnitude = 0;
        bool overflow = false;
        const char* digits = s;
        for (unsigned d; (d = digit_value(*s)) < base; ++s) {
            if (magnitude > (ULLONG_MAX - d) / base) {
                overflow = true;
            }
            magnitude = magnitude * base + d;
        }
        if (s == digits) {
            return -EINVAL;
        }
        if (*s == '\n') {
            ++s;
        }
        if (*s != '\0') {
            return -EINVAL;
        }
        const unsigned long long limit =
            negative ? static_cast<unsigned long long>(INT_MAX) + 1 : INT_MAX;
        if (overflow || magnitude > limit) {
            return -ERANGE;
        }
        *out = negative ? static_cast<int>(-static_cast<long long>(magnitude))
                        : static_cast<int>(magnitude);
        return 0;
    }

private:
    static unsigned digit_value(char c) {
        if (c >= '0' && c <= '9') {
            return static_cast<unsigned>(c - '0');
        }
        if (c >= 'a' && c <= 'f') {
            return static_cast<unsigned>(c - 'a' + 10);
        }
        if (c >= 'A' && c <= 'F') {
            return static_cast<unsigned>(c - 'A' + 10);
        }
        return 36;
    }
};

} // namespace

// The parameter variables, with their defaults.
#define QUORVIN_DEFINE_PARAM(name, type, def, perm, desc)                                          \
    extern "C" {                                                                                   \
    type name = def;                                                                               \
    }
QUORVIN_MODULE_PARAMS(QUORVIN_DEFINE_PARAM)
#undef QUORVIN_DEFINE_PARAM

namespace {

const QuorvinParamInfo g_params[] = {
#define QUORVIN_PARAM_ENTRY(name, type, def, perm, desc)                                           \
    {#name, ParamType<type>::type_name, desc, perm, def, &name},
    QUORVIN_MODULE_PARAMS(QUORVIN_PARAM_ENTRY)
#undef QUORVIN_PARAM_ENTRY
};

const QuorvinExportInfo g_exports[] = {
#define QUORVIN_EXPORT_PLAIN_ENTRY(sym) {#sym, QUORVIN_EXPORT_PLAIN},
#define QUORVIN_EXPORT_GPL_ENTRY(sym)   {#sym, QUORVIN_EXPORT_GPL},
    QUORVIN_MODULE_EXPORTS(QUORVIN_EXPORT_PLAIN_ENTRY, QUORVIN_EXPORT_GPL_ENTRY)
#undef QUORVIN_EXPORT_PLAIN_ENTRY
#undef QUORVIN_EXPORT_GPL_ENTRY
};

constexpr int kParamCount = static_cast<int>(sizeof(g_params) / sizeof(g_params[0]));
constexpr int kExportCount = static_cast<int>(sizeof(g_exports) / sizeof(g_exports[0]));
static_assert(kExportCount == 21, "the module exports 21 operations");

// Every listed export is declared in AWB/AWB.h with C linkage: a misspelt name
// in the list fails to compile here.
#define QUORVIN_EXPORT_DECLARED(sym) static_assert(sizeof(&sym) != 0, #sym);
QUORVIN_MODULE_EXPORTS(QUORVIN_EXPORT_DECLARED, QUORVIN_EXPORT_DECLARED)
#undef QUORVIN_EXPORT_DECLARED

const QuorvinModuleInfo g_module = {
    QUORVIN_MODULE_NAME, QUORVIN_MODULE_LICENSE, QUORVIN_MODULE_DESCRIPTION, g_params, kParamCount,
    g_exports,           kExportCount,
};

bool g_loaded = false;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Parameter names match with '-' and '_' taken as the same character.
bool same_param_name(const std::string& given, const char* name) {
    std::size_t i = 0;
    for (; i < given.size() && name[i] != '\0'; ++i) {
        const char a = given[i] == '-' ? '_' : given[i];
        const char b = name[i] == '-' ? '_' : name[i];
        if (a != b) {
            return false;
        }
    }
    return i == given.size() && name[i] == '\0';
}

// One "name=value" word of the argument string: blanks separate words except
// inside double quotes; quotes around the value (or the whole word) are
// dropped.
struct Arg {
    std::string name;
    std::string value;
    bool has_value = false;
};

const char* next_arg(const char* s, Arg* arg) {
    bool in_quote = false;
    bool quoted = false;
    if (*s == '"') {
        ++s;
        in_quote = true;
        quoted = true;
    }
    std::size_t len = 0;
    std::size_t equals = 0;
    bool found_equals = false;
    for (; s[len] != '\0'; ++len) {
        if (is_blank(s[len]) && !in_quote) {
            break;
        }
        if (!found_equals && s[len] == '=') {
            found_equals = true;
            equals = len;
        }
        if (s[len] == '"') {
            in_quote = !in_quote;
        }
    }
    std::string word(s, len);
    if (quoted && !word.empty() && word.back() == '"') {
        word.pop_back();
    }
    if (found_equals) {
        arg->name = word.substr(0, equals);
        std::string value = word.substr(equals + 1);
        if (!value.empty() && value.front() == '"') {
            value.erase(0, 1);
            if (!value.empty() && value.back() == '"') {
                value.pop_back();
            }
        }
        arg->value = value;
        arg->has_value = true;
    } else {
        arg->name = word;
        arg->value.clear();
        arg->has_value = false;
    }
    return s + len;
}

void reset_params() {
    for (const QuorvinParamInfo& p : g_params) {
        *p.value = p.default_value;
    }
}

} // namespace

extern "C" const QuorvinModuleInfo* quorvin_module_info(void) {
    return &g_module;
}

extern "C" int quorvin_module_load(const char* args) {
    if (g_loaded) {
        return -EEXIST;
    }
    // Parse everything first: a refused load leaves every parameter as it was.
    int staged[kParamCount];
    for (int i = 0; i < kParamCount; ++i) {
        staged[i] = g_params[i].default_value;
    }
    const char* s = args != nullptr ? args : "";
    for (;;) {
        while (is_blank(*s)) {
            ++s;
        }
        if (*s == '\0') {
            break;
        }
        Arg arg;
        s = next_arg(s, &arg);
        int index = -1;
        for (int i = 0; i < kParamCount; ++i) {
            if (same_param_name(arg.name, g_params[i].name)) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            return -ENOENT;
        }
        if (!arg.has_value) {
            return -EINVAL;
        }
        const int err = ParamType<int>::parse(arg.value.c_str(), &staged[index]);
        if (err != 0) {
            return err;
        }
    }
    for (int i = 0; i < kParamCount; ++i) {
        *g_params[i].value = staged[i];
    }
    const int err = QUORVIN_MODULE_INIT_FN();
    if (err != 0) {
        reset_params();
        return err;
    }
    g_loaded = true;
    return 0;
}

extern "C" int quorvin_module_unload(void) {
    if (!g_loaded) {
        return -ENOENT;
    }
    QUORVIN_MODULE_EXIT_FN();
    reset_params();
    g_loaded = false;
    return 0;
}

extern "C" int quorvin_module_is_loaded(void) {
    return g_loaded ? 1 : 0;
}
