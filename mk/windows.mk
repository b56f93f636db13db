# The Windows build, cross-compiled with mingw-w64 and tested under Wine: the module
# (latchwork.pyd, limited API, python3.dll) and the native tests of the wings it is
# built from. Included by the Makefile.
WINDOWS_BUILD := build/windows

.PHONY: deps-windows windows-build windows-test windows-run

# The x86_64 compiler of Debian's mingw-w64 with the POSIX thread model (std::thread
# and std::mutex), its binutils (dlltool, objdump), GoogleTest's sources to compile
# for Windows, and Wine to run the result.
deps-windows:
	$(call need_debian_package,/usr/bin/x86_64-w64-mingw32-g++-posix,g++-mingw-w64-x86-64-posix)
	$(call need_debian_package,/usr/bin/x86_64-w64-mingw32-dlltool,binutils-mingw-w64-x86-64)
	$(call need_debian_package,/usr/src/googletest/CMakeLists.txt,googletest)
	$(call need_debian_package,/usr/lib/wine/wine64,wine wine64)

windows-build: deps-windows
	cmake -S . -B $(WINDOWS_BUILD) --toolchain cmake/mingw-w64.cmake -Wno-deprecated \
	  -DCMAKE_BUILD_TYPE=Release -DLATCHWORK_NATIVE_TESTS=ON -DLATCHWORK_HOST_PYTHON=$(shell command -v $(PYTHON))
	cmake --build $(WINDOWS_BUILD) -j2

# The gate the Windows tests talk to is the Linux one of the test build tree.
# windows-run runs what windows-build and wheel-test left (CI builds them ahead).
windows-test: windows-build wheel-test
	$(MAKE) windows-run

windows-run:
	tools/windows_test.sh $(WINDOWS_BUILD) $(TEST_BUILD)/latchwork-gate
