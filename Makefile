# make          every target: Linux x86-64, aarch64 and armhf, Windows x86 and
#               x64, and the i686 host that executes the x86 DLL under qemu-i386
# make test     install what is missing, build everything, run every test layer
# make demo     install and build only what the demo needs, and run it
# make package  the Debian packages (amd64, arm64, armhf); make install: /usr/lib/jni, /usr/share/java
# make docs     the Javadoc of cz.qelvar.Serial
# make bench    Dorlesk against raw C, jSSC and RXTX on pseudo-terminals
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps linux win32 win64 x86 aarch64 armhf arm-jvm uart-kernel sanitize test demo bench package install docs clean

all: win32 win64 x86 aarch64 armhf linux sanitize

deps:
	@scripts/install-deps

# The Linux build packs the other libraries into the jar, so it comes last.
linux: win32 win64 aarch64 armhf
	cmake -S . -B $(BUILD)/linux $(CMAKE_FLAGS) \
	  -DDORLESK_WIN32_DLL=$(abspath $(BUILD))/win32/Dorlesk.dll \
	  -DDORLESK_WIN64_DLL=$(abspath $(BUILD))/win64/Dorlesk.dll \
	  -DDORLESK_WIN64_HARNESS=$(abspath $(BUILD))/win64/wine_harness.exe \
	  -DDORLESK_X86_DIR=$(abspath $(BUILD))/x86 \
	  -DDORLESK_AARCH64_DIR=$(abspath $(BUILD))/aarch64 -DDORLESK_ARMHF_DIR=$(abspath $(BUILD))/armhf \
	  -DDORLESK_ARM_JVM_DIR=$(abspath $(BUILD))/arm-jvm \
	  -DDORLESK_UART_KERNEL_DIR=$(abspath $(BUILD))/uart-kernel \
	  -DDORLESK_SANITIZE_DIR=$(abspath $(BUILD))/sanitize
	cmake --build $(BUILD)/linux -j $(JOBS)

# Unit and stand-in layers and fuzz targets with clang's ASan and UBSan.
sanitize:
	cmake -S . -B $(BUILD)/sanitize $(CMAKE_FLAGS) -DDORLESK_SANITIZE=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)/sanitize -j $(JOBS)

win32:
	cmake -S . -B $(BUILD)/win32 $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
	cmake --build $(BUILD)/win32 -j $(JOBS)

# A 32-bit Linux program that loads the x86 DLL itself, for qemu-i386.
x86:
	cmake -S . -B $(BUILD)/x86 $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake
	cmake --build $(BUILD)/x86 -j $(JOBS)

# ARM boards: the library and the unit and stand-in layers, for qemu-user.
aarch64 armhf:
	cmake -S . -B $(BUILD)/$@ $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/linux-$@.cmake
	cmake --build $(BUILD)/$@ -j $(JOBS)

# Debian's OpenJDK for arm64 and armhf in private roots, for the ARM JVM tests.
arm-jvm:
	scripts/arm-jvm-root arm64 $(BUILD)/arm-jvm/arm64
	scripts/arm-jvm-root armhf $(BUILD)/arm-jvm/armhf

# Debian's kernel for the uart layer's VM, unpacked into the build tree.
uart-kernel:
	scripts/uart-kernel $(BUILD)/uart-kernel

win64:
	cmake -S . -B $(BUILD)/win64 $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
	cmake --build $(BUILD)/win64 -j $(JOBS)

test: deps
	$(MAKE) all arm-jvm uart-kernel
	scripts/run-tests $(BUILD)/linux

# The demo's own tree: this machine's library and a jar carrying it alone.
demo:
	@scripts/install-deps --demo
	cmake -S . -B $(BUILD)/demo $(CMAKE_FLAGS) -DDORLESK_HOST_ONLY=ON
	cmake --build $(BUILD)/demo -j $(JOBS)
	scripts/demo $(BUILD)/demo

bench: deps
	$(MAKE) linux
	bench/run $(BUILD)/linux

package: linux
	cd $(BUILD)/linux && cpack -G DEB
	cd $(BUILD)/aarch64 && cpack -G DEB
	cd $(BUILD)/armhf && cpack -G DEB

install: linux
	cmake --install $(BUILD)/linux

docs: linux
	cmake --build $(BUILD)/linux --target docs

clean:
	rm -rf $(BUILD)
