# Wheels people can install. Included by the Makefile.
#
# make dist:       dist/ gets the sdist, the Linux wheel (built from that sdist,
#                  repaired by auditwheel to carry its shared libraries, with the most
#                  portable manylinux tag they allow) and the Windows wheel
#                  (cp310-abi3-win_amd64, the module only).
#                  On Debian 12 the tag is manylinux_2_35, set by GCC 12's libstdc++
#                  (GLIBCXX_3.4.30). Linking libstdc++ statically would not lower it: its
#                  std::random_device then calls arc4random, which is glibc 2.36's.
# make dist-check: the Linux wheel in a minimal Debian root, the sdist's build on this machine.
DIST_DIR   := dist
DIST_BUILD := build/dist
DEBIAN_SUITE ?= bookworm

.PHONY: deps-dist dist dist-check dist-verify

# build makes the sdist and the wheel from it; auditwheel (with patchelf)
# copies the libraries into the wheel, and since 6.x also for latchwork-gate, which it
# moves into latchwork.scripts/ beside the module with a small Python launcher in the
# scripts folder; debootstrap makes the check's Debian root.
deps-dist: $(VPY)
	$(call need_debian_package,/usr/sbin/debootstrap,debootstrap)
	@test -x $(VENV)/bin/patchelf && $(VPY) -c 'import build, auditwheel' 2>/dev/null || \
	  $(VPY) -m pip install --quiet build 'auditwheel>=6.8' 'patchelf>=0.14.5'

# Debian's patchelf (0.14.3) is older than auditwheel accepts (0.14.5): PyPI's is used,
# from .venv/bin.
dist: deps-dist deps-build windows-build
	rm -rf $(DIST_DIR) $(DIST_BUILD)
	CMAKE_BUILD_PARALLEL_LEVEL=2 $(VPY) -m build --outdir $(DIST_BUILD) .
	mkdir -p $(DIST_DIR) && mv $(DIST_BUILD)/latchwork-*.tar.gz $(DIST_DIR)/
	PATH=$(abspath $(VENV))/bin:$$PATH $(VPY) -m auditwheel repair --wheel-dir $(DIST_DIR) \
	  $(DIST_BUILD)/latchwork-*.whl
	$(VPY) -m auditwheel show $(DIST_DIR)/latchwork-*manylinux*.whl
	tools/check_windows_module.sh $(WINDOWS_BUILD)/latchwork.pyd
	$(VPY) tools/windows_wheel.py $(WINDOWS_BUILD)/latchwork.pyd stubs/latchwork-stubs/__init__.pyi \
	  $(DIST_DIR)/latchwork-*manylinux*.whl $(DIST_DIR)
	# pip takes it for a Windows CPython, and installs the module from it.
	$(VPY) -m pip install --quiet --no-deps --no-index --only-binary=:all: --platform win_amd64 \
	  --python-version 3.12 --implementation cp --target $(DIST_BUILD)/windows-install \
	  $(DIST_DIR)/latchwork-*-win_amd64.whl
	test -f $(DIST_BUILD)/windows-install/latchwork.pyd
	ls -l $(DIST_DIR)

# Checks what this tree builds: never a dist/ left from an earlier one. dist-verify
# checks what make dist left (CI builds it ahead).
dist-check: dist
	$(MAKE) dist-verify

dist-verify:
	DEBIAN_SUITE=$(DEBIAN_SUITE) tools/dist_check.sh $(DIST_DIR)/latchwork-*manylinux*.whl \
	  $(DIST_BUILD)/latchwork-*.whl $(PYTHON)
