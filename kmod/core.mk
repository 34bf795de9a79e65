# SPDX-License-Identifier: GPL-2.0 OR MIT
# How a Kbuild file compiles the core for the kernel: included by the
# module's Kbuild and by the pixel self-test's, with quorvin-root set to the
# folder that holds AWB/ and platform/. Sets quorvin-core (the core's
# objects) and the rules that build them, and those of the platform layer's
# C files, in the including module's folder: each source keeps its stem, so
# that Kbuild finds the module an object belongs to (KBUILD_MODNAME).

quorvin-core := $(patsubst %.cpp,%.o,$(notdir $(sort \
	$(wildcard $(quorvin-root)/AWB/*.cpp $(quorvin-root)/AWB/pixel/*.cpp))))

ccflags-y := -I$(quorvin-root)

# The core's flags, shared with CMake and the scripts: quorvin-core-flags,
# quorvin-kernel-cxx-flags, quorvin-no-vector-flags ...
include $(quorvin-root)/cmake/core-flags.mk

# x86-64: the pixel code's vector variants (AWB/pixel/PixelVector.cpp) are
# compiled with the vector registers the rest of the kernel may not use; the
# core knows of them through QUORVIN_KERNEL_VECTORS and runs them only inside
# kernel_fpu_begin()/kernel_fpu_end(). The build's guard allows vector
# registers in this object only. Elsewhere the file compiles to nothing.
ifdef CONFIG_X86_64
quorvin-vector-objs := PixelVector.o
quorvin-defines := $(quorvin-kernel-vector-flags)
endif
# arm64: the same for AWB/pixel/PixelNeon.cpp, without -mgeneral-regs-only,
# run only inside kernel_neon_begin()/kernel_neon_end(); kernels without
# kernel-mode NEON keep the word variants.
ifdef CONFIG_ARM64
quorvin-defines += $(quorvin-kernel-arm64-flags)
ifdef CONFIG_KERNEL_MODE_NEON
quorvin-vector-objs := PixelNeon.o
quorvin-defines += $(quorvin-kernel-vector-flags)
quorvin-vector-object-flags := $(quorvin-vector-object-arm64-flags)
endif
endif
quorvin-object-flags = $(if $(filter $(notdir $@),$(quorvin-vector-objs)), \
	$(filter-out $(quorvin-no-vector-flags),$(1)) $(quorvin-vector-object-flags), $(1))

# The C++ compiler of the kernel's C compiler (gcc-12 -> g++-12), so that
# both halves of the module come from the same compiler release.
QUORVIN_CXX ?= $(subst gcc,g++,$(CC))

# Kernel C flags that are C-only: g++ rejects or warns about them.
quorvin-c-only := -std=gnu11 -std=gnu89 -Wstrict-prototypes -Werror=strict-prototypes \
	-Werror=implicit-function-declaration -Werror=implicit-int \
	-Werror=incompatible-pointer-types -Werror=designated-init -Wno-pointer-sign \
	-Wdeclaration-after-statement -Wno-old-style-declaration -Wmissing-prototypes \
	-Wold-style-definition -Wmissing-parameter-type -Wno-override-init \
	-Werror=date-time

# The kernel's flags (architecture, code model, no SSE/MMX, stack protector,
# retpolines, return thunks, fentry, regparm on 32-bit ...) without its
# include paths: the core includes no kernel header. Then the freestanding
# C++ flags: no exceptions, RTTI, unwind tables or library.
quorvin_cxx_flags = -Wp,-MMD,$(depfile) $(NOSTDINC_FLAGS) \
	$(call quorvin-object-flags,$(filter-out $(quorvin-c-only),$(_c_flags))) \
	$(modkern_cflags) $(basename_flags) $(modname_flags) $(quorvin-defines) \
	$(quorvin-kernel-cxx-flags) $(quorvin-core-flags)

# Module BTF: when the headers carry a vmlinux, Kbuild runs pahole on the
# linked module, and pahole cannot encode C++ debug information (template
# parameters, references): it fails and the module is deleted. The C++
# objects then go without debug information; the C objects keep their BTF.
quorvin-module-btf := $(and $(CONFIG_DEBUG_INFO_BTF_MODULES),$(wildcard $(objtree)/vmlinux))
quorvin_cxx_flags += $(if $(quorvin-module-btf),-g0)

# objtool on each C++ object, as on C objects. From Linux 5.19 cmd_objtool is
# "; objtool ..." to be appended to the compile command; up to 5.18 it is a
# command of its own (run after the compile by rule_cc_o_c): append it with
# the separator in both cases.
quorvin-objtool = $(if $(strip $(cmd_objtool)),$(if $(filter ;,$(firstword $(cmd_objtool))),,;) $(cmd_objtool))

quiet_cmd_cxx_o_cpp = CXX [M]  $@
      cmd_cxx_o_cpp = $(QUORVIN_CXX) $(quorvin_cxx_flags) -c -o $@ $< $(quorvin-objtool)

# As the kernel's own rule for C objects: dependencies, objtool, mcount.
define rule_cxx_o_cpp
	$(call cmd_and_fixdep,cxx_o_cpp)
	$(call cmd,gen_objtooldep)
	$(call cmd,record_mcount)
endef

$(obj)/%.o: $(quorvin-root)/AWB/%.cpp FORCE
	$(call if_changed_rule,cxx_o_cpp)
$(obj)/%.o: $(quorvin-root)/AWB/pixel/%.cpp FORCE
	$(call if_changed_rule,cxx_o_cpp)
$(obj)/%.o: $(src)/%.cpp FORCE
	$(call if_changed_rule,cxx_o_cpp)

# The platform layer's C files live outside the module's folder in the
# repository: the kernel's own rule for C objects, from there.
$(obj)/%.o: $(quorvin-root)/platform/kernel/%.c FORCE
	$(call if_changed_rule,cc_o_c)
	$(call cmd,force_checksrc)

targets += $(quorvin-core)
