// SPDX-License-Identifier: GPL-2.0 OR MIT
// Lists the module's metadata, parameters and exports in the manner of the
// kernel's modinfo, from the same definitions the kernel build uses.
//
//   quorvin_modinfo            every field, one "field:  value" line each
//   quorvin_modinfo -F FIELD   only the values of FIELD (name, license, ...)
//   quorvin_modinfo -p         only the parameters, as "name:description (type)"
#include <tests/support/module_user.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* export_macro(QuorvinExportKind kind) {
    return kind == QUORVIN_EXPORT_GPL ? "EXPORT_SYMBOL_GPL" : "EXPORT_SYMBOL";
}

std::string param_line(const QuorvinParamInfo& p) {
    return std::string(p.name) + ":" + p.description + " (" + p.type + ")";
}

// Prints every field, or only the values of one field when only is non-null.
// Returns the number of lines printed.
int print_fields(const QuorvinModuleInfo& info, const char* only) {
    int lines = 0;
    auto field = [&](const char* name, const std::string& value) {
        if (only == nullptr) {
            std::printf("%-16s%s\n", (std::string(name) + ":").c_str(), value.c_str());
            ++lines;
        } else if (std::strcmp(only, name) == 0) {
            std::printf("%s\n", value.c_str());
            ++lines;
        }
    };
    field("name", info.name);
    field("license", info.license);
    field("description", info.description);
    field("depends", "");
    for (int i = 0; i < info.param_count; ++i) {
        field("parm", param_line(info.params[i]));
    }
    for (int i = 0; i < info.param_count; ++i) {
        char perm[32];
        std::snprintf(perm, sizeof perm, "%04o", info.params[i].perm);
        field("parmperm", std::string(info.params[i].name) + ":" + perm);
    }
    for (int i = 0; i < info.export_count; ++i) {
        field("export",
              std::string(info.exports[i].name) + " " + export_macro(info.exports[i].kind));
    }
    return lines;
}

int usage() {
    std::fprintf(stderr, "usage: quorvin_modinfo [-F field | -p]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const QuorvinModuleInfo& info = *quorvin_module_info();
    if (argc == 1) {
        print_fields(info, nullptr);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "-p") == 0) {
        for (int i = 0; i < info.param_count; ++i) {
            std::printf("%s\n", param_line(info.params[i]).c_str());
        }
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "-F") == 0) {
        // An unknown field prints nothing, as modinfo does.
        print_fields(info, argv[2]);
        return 0;
    }
    return usage();
}
