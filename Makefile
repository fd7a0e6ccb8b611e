# Set-up is part of every target: a fresh clone needs only `make demo` or `make test`.
PYTHON ?= $(shell command -v python3.13 2>/dev/null || ls -d $$HOME/.pyenv/versions/3.13*/bin/python3.13 2>/dev/null | tail -n 1)
VENV := .venv
VPY := $(VENV)/bin/python
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml ombrix-stubs/__init__.pyi
ASAN_BUILD := build/asan
CORE_BUILD := build/core
DIST := dist
WHEEL_VENV := build/wheel-venv
# Tools come from pyproject.toml's dependency groups (pip install --group).
# Fails chosen allocations of the process it is preloaded into (tests/alloc_fail).
ALLOC_FAIL := build/alloc_fail/liballoc_fail.so

.PHONY: demo docs test lint format test-python test-core asan-build test-asan test-aarch64 test-clang check-fma test-wheel-aarch64 fuzz sweep sweep-asan bench wheel test-wheel clean

$(VPY):
	@test -n "$(PYTHON)" || { echo "python3.13 not found"; exit 1; }
	$(PYTHON) -m venv $(VENV)

$(VENV)/.deps: $(VPY) pyproject.toml
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q --group build --group test
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

# Built with the C driver: the library must not pull in libstdc++ (see its source).
$(ALLOC_FAIL): tests/alloc_fail/alloc_fail.cpp
	@mkdir -p $(dir $@)
	$(CC) -std=c++20 -O2 -g -shared -fPIC -fvisibility=hidden -fno-exceptions -fno-rtti -Wall -Wextra $< -o $@ -ldl

demo: $(VENV)/.installed
	$(VPY) examples/quickstart.py

test: test-core test-python

test-python: $(VENV)/.installed $(ALLOC_FAIL)
	OMBRIX_ALLOC_FAIL=$(abspath $(ALLOC_FAIL)) $(VPY) -m pytest -q tests

# Style: ruff (lint rules and formatting, pyproject.toml) for Python and
# clang-format (.clang-format) for C++, over every file; docs/performance.md
# must be what benchmarks/make_docs.py makes of the recorded results.
LINT_VENV := $(VENV)/.lint
CXX_FILES = $(shell find src tests benchmarks -name '*.cpp' -o -name '*.hpp')
$(LINT_VENV): $(VENV)/.deps pyproject.toml
	$(VPY) -m pip install -q --group lint
	touch $@

lint: $(LINT_VENV)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_FILES)
	$(VPY) benchmarks/make_docs.py --check

format: $(LINT_VENV)
	$(VENV)/bin/ruff check --fix .
	$(VENV)/bin/ruff format .
	$(VENV)/bin/clang-format -i $(CXX_FILES)

# The C++ core tests run whenever GoogleTest is installed (libgtest-dev).
test-core: $(VENV)/.deps
	@if [ -f /usr/include/gtest/gtest.h ]; then \
	  $(VENV)/bin/cmake -S . -B $(CORE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DOMBRIX_PYTHON=OFF -DOMBRIX_CORE_TESTS=ON >/dev/null && \
	  $(VENV)/bin/cmake --build $(CORE_BUILD) && \
	  $(VENV)/bin/ctest --test-dir $(CORE_BUILD) --output-on-failure; \
	else echo "GoogleTest not installed (apt-get install libgtest-dev): skipping the C++ core tests"; fi

# The core and its C++ tests cross-built for aarch64 and run under qemu-user
# (needs g++-aarch64-linux-gnu, qemu-user-static and googletest's source).
AARCH64_BUILD := build/aarch64
test-aarch64: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(AARCH64_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DOMBRIX_PYTHON=OFF -DOMBRIX_CORE_TESTS=ON \
	  -DOMBRIX_GTEST_SOURCE=/usr/src/googletest -Wno-dev >/dev/null
	$(VENV)/bin/cmake --build $(AARCH64_BUILD)
	$(call no_fma,$(AARCH64_BUILD),aarch64-linux-gnu-objdump)
	$(VENV)/bin/ctest --test-dir $(AARCH64_BUILD) --output-on-failure

# No fused multiply-add in any object compiled from src/ (distances must be
# plain left-to-right arithmetic): $(call no_fma,build dir[,objdump]). The
# pruning copy's transform is exempt: it computes no result, only the copy's
# coordinates, whose every rounding its margin covers (pruning_copy.cpp).
FMA_MNEMONICS := vf(n?m(add|sub)|maddsub|msubadd)[0-9a-z]*|fn?m(add|sub)|fn?ml[as]|fn?mad|fn?msb
define no_fma
	@objects=$$(find $(1) -path '*/CMakeFiles/ombrix*.dir/*' -name '*.o' ! -name 'pruning_transform.cpp.o'); \
	test -n "$$objects" || { echo "no objects under $(1)"; exit 1; }; \
	found=$$($(or $(2),objdump) -d --no-show-raw-insn $$objects | awk -F'\t' 'NF >= 2 {split($$2, w, " "); print w[1]}' | \
	  grep -Ex '$(FMA_MNEMONICS)' | sort | uniq -c); \
	if [ -n "$$found" ]; then echo "fused multiply-add under $(1):"; echo "$$found"; exit 1; fi; \
	echo "no fused multiply-add in $$(echo $$objects | wc -w) objects under $(1)"
endef

# The build make test installed (compiled by GCC).
check-fma: $(VENV)/.installed
	$(call no_fma,build/cp*)

# The core, its C++ tests and the extension compiled by clang (with the
# system's libstdc++), then the C++ tests and the whole pytest suite.
CLANG_BUILD := build/clang
CLANG_CORE_BUILD := build/clang-core
test-clang: $(VENV)/.installed $(ALLOC_FAIL)
	CC=clang CXX=clang++ $(VENV)/bin/cmake -S . -B $(CLANG_CORE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DOMBRIX_PYTHON=OFF -DOMBRIX_CORE_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build $(CLANG_CORE_BUILD)
	$(VENV)/bin/ctest --test-dir $(CLANG_CORE_BUILD) --output-on-failure
	CC=clang CXX=clang++ $(VENV)/bin/cmake -S . -B $(CLANG_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VENV)/bin/cmake --build $(CLANG_BUILD) --target ombrix
	$(call no_fma,$(CLANG_BUILD))
	rm -rf $(CLANG_BUILD)/ombrix-stubs && cp -r ombrix-stubs $(CLANG_BUILD)/  # installed beside the module
	PYTHONPATH=$(CLANG_BUILD) OMBRIX_EXPECT_BUILD=$(CLANG_BUILD) OMBRIX_ALLOC_FAIL=$(abspath $(ALLOC_FAIL)) \
	  $(VPY) -m pytest -q -p no:cacheprovider tests

# The fuzz tests with ten times the examples of `make test` (a few minutes).
fuzz: $(VENV)/.installed
	OMBRIX_FUZZ_EXAMPLES=1500 $(VPY) -m pytest -q -p no:cacheprovider tests/test_fuzz.py

# Every allocation of insert, create and search failed in turn, then real
# exhaustion under an address-space limit (about two minutes).
sweep: $(VENV)/.installed $(ALLOC_FAIL)
	OMBRIX_ALLOC_FAIL=$(abspath $(ALLOC_FAIL)) $(VPY) tests/alloc_fail/sweep.py
	$(VPY) tests/alloc_fail/exhaust.py

# The extension built with ASan/UBSan, and how to run Python against it.
ASAN_FLAGS := detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1
ASAN_ENV = PYTHONPATH=$(ASAN_BUILD) OMBRIX_EXPECT_BUILD=$(ASAN_BUILD) OMBRIX_ALLOC_FAIL=$(abspath $(ALLOC_FAIL)) \
	LD_PRELOAD=$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libstdc++.so) PYTHONMALLOC=malloc \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
asan-build: $(VENV)/.installed $(ALLOC_FAIL)
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DOMBRIX_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD) --target ombrix

# The whole Python suite against the ASan/UBSan build, then the C++ core
# tests built with both sanitizers.
ASAN_CORE_BUILD := build/asan-core
test-asan: asan-build
	$(ASAN_ENV) ASAN_OPTIONS=$(ASAN_FLAGS) $(VPY) -m pytest -q -p no:cacheprovider tests
	@if [ -f /usr/include/gtest/gtest.h ]; then \
	  $(VENV)/bin/cmake -S . -B $(ASAN_CORE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DOMBRIX_PYTHON=OFF -DOMBRIX_CORE_TESTS=ON -DOMBRIX_SANITIZE=ON >/dev/null && \
	  $(VENV)/bin/cmake --build $(ASAN_CORE_BUILD) && \
	  ASAN_OPTIONS=$(ASAN_FLAGS) UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    $(VENV)/bin/ctest --test-dir $(ASAN_CORE_BUILD) --output-on-failure; \
	else echo "GoogleTest not installed (apt-get install libgtest-dev): skipping the sanitized C++ core tests"; fi

# The allocation-failure sweep against the ASan/UBSan build; the failing
# allocator goes ahead of the sanitizer's, hence the link-order check is off.
sweep-asan: asan-build
	$(ASAN_ENV) ASAN_OPTIONS=$(ASAN_FLAGS):verify_asan_link_order=0 $(VPY) tests/alloc_fail/sweep.py

# Pinned to one core, every library on one thread (bench_sharded.py excepted:
# its worker processes take every core); Fashion-MNIST comes from
# Debian's dataset-fashion-mnist (installed here when run as root).
# HNSW_BASELINE=path/to/hnsw_counts compares the graph core with another
# build of it (benchmarks/hnsw_counts.cpp built against the older core);
# FLAT_BASELINE=path/to/python, an interpreter with another build of ombrix,
# times its PyFlat beside this one in the low-dimension table.
bench: $(VENV)/.installed
	$(VPY) -m pip install -q --group bench || $(VPY) -m pip install -q --group bench-core
	@[ -d /usr/share/datasets/fashion-mnist ] || [ "$$(id -u)" != 0 ] || \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dataset-fashion-mnist || true
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DOMBRIX_PYTHON=OFF -DOMBRIX_BENCHMARKS=ON >/dev/null
	$(VENV)/bin/cmake --build build/bench --target hnsw_counts read_floor flat_reads
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 \
	  taskset -c 0 $(VPY) benchmarks/bench_flat.py
	OMP_NUM_THREADS=1 taskset -c 0 $(VPY) benchmarks/bench_hnsw.py $(if $(HNSW_BASELINE),--baseline-counts $(HNSW_BASELINE))
	OMP_NUM_THREADS=1 taskset -c 0 $(VPY) benchmarks/bench_lowdim.py $(if $(FLAT_BASELINE),--baseline-python $(FLAT_BASELINE))
	OMP_NUM_THREADS=1 $(VPY) benchmarks/bench_sharded.py
	$(VPY) benchmarks/make_docs.py

# docs/performance.md from the tables in benchmarks/results (standard library only).
docs: $(VPY)
	$(VPY) benchmarks/make_docs.py

# The sdist, and a wheel built from it in an isolated environment (its build
# requirements come from PyPI) with zig's clang against glibc $(WHEEL_GLIBC),
# its C++ runtime linked in: it installs on any Linux of that glibc or newer.
# auditwheel checks that and tags it. WHEEL_ARCH=aarch64 cross-builds.
WHEEL_BUILD = build/wheel-$(WHEEL_ARCH)
WHEEL_GLIBC := 2.17
WHEEL_ARCH ?= $(shell uname -m)
ZIG = $$($(VPY) -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
# A cross build names the target's platform and module suffix itself.
CROSS_ENV = $(if $(filter-out $(shell uname -m),$(WHEEL_ARCH)),_PYTHON_HOST_PLATFORM=linux-$(WHEEL_ARCH) \
	SETUPTOOLS_EXT_SUFFIX=.cpython-$$($(VPY) -c 'import sys; print("%d%d" % sys.version_info[:2])')-$(WHEEL_ARCH)-linux-gnu.so)
wheel: $(VENV)/.deps
	rm -rf $(WHEEL_BUILD) $(DIST)/raw $(DIST)/*.tar.gz $(DIST)/*_$(WHEEL_ARCH).whl
	$(VPY) -m pip install -q --group wheel
	$(CROSS_ENV) $(VPY) -m build --outdir $(DIST)/raw -C build-dir=$(abspath $(WHEEL_BUILD)) \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath cmake/zig.cmake) \
	  -C cmake.define.OMBRIX_ZIG=$(ZIG) -C cmake.define.OMBRIX_ZIG_TARGET=$(WHEEL_ARCH)-linux-gnu.$(WHEEL_GLIBC) .
	$(call no_fma,$(WHEEL_BUILD),$(if $(CROSS_ENV),$(WHEEL_ARCH)-linux-gnu-objdump))
	PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel show $(DIST)/raw/*.whl
	PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel repair --wheel-dir $(DIST) $(DIST)/raw/*.whl
	mv $(DIST)/raw/*.tar.gz $(DIST)/ && rm -rf $(DIST)/raw
	ls $(DIST)

# The test suite against the repaired wheel in a clean virtual environment,
# run from outside the source tree; conftest checks which copy was imported.
test-wheel:
	@ls $(DIST)/*manylinux*_$(WHEEL_ARCH).whl >/dev/null 2>&1 || { echo "no wheel in $(DIST): run make wheel first"; exit 1; }
	rm -rf $(WHEEL_VENV)
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --upgrade pip
	$(WHEEL_VENV)/bin/python -m pip install -q $(DIST)/*manylinux*_$(WHEEL_ARCH).whl --group test
	cd $(WHEEL_VENV) && OMBRIX_EXPECT_BUILD=$(abspath $(WHEEL_VENV)) \
	  bin/python -m pytest -q -p no:cacheprovider $(abspath tests)

# The aarch64 wheel (make wheel WHEEL_ARCH=aarch64) under qemu-user, on
# Debian 13's CPython 3.13 for arm64: its packages come from the mirror apt
# already uses and are unpacked into build/, the system's apt state
# untouched. Without the kernel's help qemu cannot start child interpreters,
# so the suites that need them are left out, and so are the slowest: these
# take about 4 minutes of CPU under qemu, all that can run about 13.
A64 := build/aarch64-python
A64_APT = -o Dir::Etc::SourceList=$(abspath $(A64))/sources.list -o Dir::Etc::SourceParts=/dev/null \
	-o Dir::State::Lists=$(abspath $(A64))/lists -o Dir::State::Status=$(abspath $(A64))/status \
	-o Dir::Cache=$(abspath $(A64))/cache -o APT::Architecture=arm64 -o APT::Architectures::=arm64
A64_DEBS := python3.13-minimal libpython3.13-minimal libpython3.13-stdlib libc6 libgcc-s1 libstdc++6 zlib1g \
	libexpat1 libffi8 libbz2-1.0 liblzma5 libzstd1 libssl3t64 libsqlite3-0 libuuid1 libncursesw6 libtinfo6
A64_TESTS := test_flat.py test_hnsw_api.py test_metadata.py test_complex.py test_module.py
$(A64)/.ready:
	rm -rf $(A64) && mkdir -p $(A64)/lists/partial $(A64)/cache/archives/partial $(A64)/debs $(A64)/root
	mirror=$$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null | \
	  grep -v '^[[:space:]]*#' | grep -o 'https\?://[^ ]*' | grep -v -- '-security' | head -n 1); \
	test -n "$$mirror" || { echo "no Debian mirror in apt's sources"; exit 1; }; \
	echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $$mirror trixie main" > $(A64)/sources.list
	touch $(A64)/status
	apt-get $(A64_APT) update -qq
	cd $(A64)/debs && apt-get $(A64_APT) download -qq $(A64_DEBS)
	for deb in $(A64)/debs/*.deb; do dpkg-deb -x $$deb $(A64)/root; done
	ln -sfn usr/lib $(A64)/root/lib
	touch $@

test-wheel-aarch64: $(A64)/.ready
	@ls $(DIST)/*manylinux*_aarch64.whl >/dev/null 2>&1 || { echo "no aarch64 wheel: run make wheel WHEEL_ARCH=aarch64"; exit 1; }
	rm -rf $(A64)/site
	$(VPY) -m pip install -q --target $(A64)/site --platform manylinux2014_aarch64 --python-version 3.13 \
	  --implementation cp --abi cp313 --only-binary=:all: $(DIST)/*manylinux*_aarch64.whl --group test-runner
	cd $(A64) && PYTHONPATH=site OMBRIX_EXPECT_BUILD=site qemu-aarch64-static -L root root/usr/bin/python3.13 \
	  -m pytest -q -p no:cacheprovider $(addprefix $(abspath tests)/,$(A64_TESTS))

clean:
	rm -rf build $(DIST) $(VENV)
