# make test   build and run the test suite on every claimed interpreter: CPython
#             3.13, 3.14, 3.15 inside the private Debian-unstable root, the
#             host's Debian python3.11, and pyenv's 3.11.7, 3.12.1 and 3.13.0;
#             then a clang build (lld linking) run on 3.15 (make test-clang)
# make bench  build for CPython 3.15 in the root and run the benchmark
# make instructions  callgrind's instruction and cache-miss counts per node for
#             the walks on one fixed module (3.15 in the root)
# make install PYTHON=python3.X  build the module for that interpreter with the
#             host's compiler and pip-install it as a wheel, offline
# make wheels the sdist and manylinux wheels for CPython 3.11-3.15 in dist/,
#             x86_64 and aarch64, compiled in a Debian 11 root (tools/wheels,
#             tools/wheelroot)
# make wheel-check  make wheels, then check them: tags, exports, metadata;
#             each installed into fresh venvs on the host and in the roots
#             (aarch64 under qemu-user, tools/armroot) and smoke-tested, the
#             test suite run on four x86_64 ones and (every 24th module) on
#             the aarch64 one for 3.15 (WHEEL_SUITES; tools/wheel-check)
# make wheel-check-aarch64-suite  the test suite (every 24th standard-library
#             module) on the aarch64 wheel for 3.15 installed in an arm64
#             venv under qemu-user; uses the wheel make wheels left in dist/
# make typecheck    mypy --strict and pyright over the stubs, as a wheel installs them
# make docs   the documentation in build/docs/html (Sphinx, in the root), built
#             with warnings as errors; every example in it run as a doctest
# make plots  the speed page's figures from make bench's results
# make demo   the duplicate-code finder over 3.15's own standard library
# make leakcheck  build for the debug interpreter python3.15d in the root and
#             require reference and block totals to stay flat (tests/leakcheck.py)
# make sanitize   build with AddressSanitizer and UBSan for 3.15 in the root
#             and run the test suite under them
# Every target creates the root and installs host packages on first use.

ROOT_PYTHONS := 3.13 3.14 3.15
HOST_PYTHON  := /usr/bin/python3.11
HOST_PKGS    := python3-dev python3-pytest python3-hypothesis python3.11-venv cmake g++ make
# The earliest patch releases users still run, and the one 3.12 we have.
PYENV_VERSIONS := 3.11.7 3.12.1 3.13.0
PYENV        ?= $(or $(shell command -v pyenv),$(HOME)/.pyenv/bin/pyenv)
# Runs that repeat a minor version or a build already tested in full take
# every third standard-library module (and test-suite file) only.
REPEAT_RUN   := QUERNWOOD_STDLIB_STRIDE=3
FULL_PYENV   := 3.12.1
PYTEST_ARGS  ?=
BENCH_ARGS   ?=
BENCH_PYTHONS ?= 3.15

.PHONY: instructions
.PHONY: test bench host-deps devroot test-root test-host build-root-% test-root-% clean
.PHONY: test-pyenv test-pyenv-% test-clang test-clang-root
.PHONY: docs docs-root plots
.PHONY: install wheels wheel-check wheel-check-aarch64-suite typecheck typecheck-root demo demo-root
.PHONY: leakcheck sanitize leakcheck-root sanitize-root

# tools/devroot clears the environment: the selection is passed on explicitly.
PASS_ARGS     = "PYTEST_ARGS=$(PYTEST_ARGS)"

SAN_FLAGS    := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined

test: test-root test-host test-pyenv test-clang

devroot:
	tools/devroot ensure

host-deps:
	@tools/host-apt $(HOST_PKGS)

# Runs inside the root: one build directory per interpreter.
build-root-%:
	tools/build python$* build/py$*

test-root-%: build-root-%
	PYTHONPATH=$(CURDIR)/build/py$* python$* -m pytest -q -p no:cacheprovider tests $(PYTEST_ARGS)

test-root: devroot
	tools/devroot run $(MAKE) --no-print-directory $(addprefix test-root-,$(ROOT_PYTHONS)) $(PASS_ARGS)

test-host: host-deps
	tools/build $(HOST_PYTHON) build/host-py3.11
	PYTHONPATH=$(CURDIR)/build/host-py3.11 $(HOST_PYTHON) -m pytest -q -p no:cacheprovider tests $(PYTEST_ARGS)

# pyenv's builds carry no test tools: pytest and hypothesis come from the
# root's Debian packages, pure Python only (tools/testdeps).
test-pyenv: host-deps devroot
	@test -x "$(PYENV)" || { echo "make: pyenv is required for the CPython $(PYENV_VERSIONS) runs (not found on PATH or in ~/.pyenv)" >&2; exit 1; }
	tools/testdeps build/testdeps
	$(MAKE) --no-print-directory $(addprefix test-pyenv-,$(PYENV_VERSIONS))

test-pyenv-%:
	@py="$$("$(PYENV)" root)/versions/$*/bin/python$(basename $*)"; \
	test -x "$$py" || { echo "make: pyenv's CPython $* is missing: pyenv install $*" >&2; exit 1; }; \
	echo "test-pyenv: CPython $* ($$py)"; \
	tools/build "$$py" build/pyenv-$* && \
	$(if $(filter $*,$(FULL_PYENV)),,$(REPEAT_RUN)) \
	PYTHONPATH=$(CURDIR)/build/pyenv-$*:$(CURDIR)/build/testdeps PYTHONNOUSERSITE=1 \
	  "$$py" -m pytest -q -p no:cacheprovider tests $(PYTEST_ARGS)

# The second compiler, with a linker other than GNU ld.
test-clang: devroot
	tools/devroot run $(MAKE) --no-print-directory test-clang-root $(PASS_ARGS)

test-clang-root:
	CXX=clang++ LDFLAGS=-fuse-ld=lld tools/build python3.15 build/py3.15-clang
	$(REPEAT_RUN) PYTHONPATH=$(CURDIR)/build/py3.15-clang python3.15 -m pytest -q -p no:cacheprovider tests $(PYTEST_ARGS)

# Each interpreter's results also go to build/bench/pythonX.Y.json, the data
# bench/plots.py draws the speed page's figures from (make plots).
bench: devroot
	tools/devroot run $(MAKE) --no-print-directory $(addprefix bench-root-,$(BENCH_PYTHONS)) "BENCH_ARGS=$(BENCH_ARGS)"

bench-root-%: build-root-%
	PYTHONPATH=$(CURDIR)/build/py$* python$* bench/bench.py --json build/bench/python$*.json $(BENCH_ARGS)

# The documentation, built with the 3.15 module: HTML with warnings as errors
# and every cross-reference checked, then every example run as a doctest.
docs: devroot
	tools/devroot run $(MAKE) --no-print-directory docs-root

docs-root: build-root-3.15
	PYTHONPATH=$(CURDIR)/build/py3.15 python3.15 -m sphinx -q -W -n --keep-going -b html -d build/docs/doctrees docs build/docs/html
	PYTHONPATH=$(CURDIR)/build/py3.15 python3.15 -m sphinx -q -W -n --keep-going -b doctest -d build/docs/doctrees docs build/docs/doctest

# The speed page's figures and the data they are drawn from, from the results
# of make bench (build/bench/*.json).
plots: devroot
	tools/devroot run python3.15 bench/plots.py build/bench docs/_static/bench

# valgrind is not part of the root's package list: installed on first use.
instructions: devroot
	tools/devroot run $(MAKE) --no-print-directory build-root-3.15
	tools/devroot run sh -c 'command -v valgrind >/dev/null || \
	  (apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y valgrind)'
	tools/devroot run env PYTHONPATH=$(CURDIR)/build/py3.15 python3.15 bench/walk_counts.py $(BENCH_ARGS)

# The interpreter the user names; a build directory per interpreter path.
PYTHON ?= python3
BUILD_PKGS := python3-dev cmake g++ make
install:
	@$(MAKE) --no-print-directory host-deps "HOST_PKGS=$(BUILD_PKGS)"
	@given=$$(command -v "$(PYTHON)") || { echo "make install: $(PYTHON) not found" >&2; exit 1; }; \
	py=$$("$$given" tools/install-check "$(PYTHON)" "$$given") || exit 1; \
	dir=build/install-$$(printf %s "$$py" | sha256sum | cut -c1-12); \
	tools/build "$$py" $$dir && rm -rf $$dir/wheel && \
	"$$py" tools/pack-wheel $$dir/quernwood.*.so $$dir/wheel >/dev/null && \
	"$$py" -m pip install --no-index --no-deps --force-reinstall $$dir/wheel/quernwood-*.whl && \
	(cd / && "$$py" -c 'import quernwood, sys; print("make install: quernwood", quernwood.__version__, "installed as", quernwood.__file__, "for", sys.executable)')

wheels: host-deps
	tools/wheels "$(PYENV)"

# The wheels the suite runs on after their smoke test (.ci/run: 3.15 only).
WHEEL_SUITES ?= 3.11 3.12.1 3.13.0 3.15 aarch64-3.15
wheel-check: wheels
	WHEEL_SUITES="$(WHEEL_SUITES)" tools/wheel-check "$(PYENV)"

wheel-check-aarch64-suite:
	@whl=$$(ls dist/quernwood-*-cp315-cp315-*_aarch64.whl 2>/dev/null) || { echo "make: no aarch64 wheel for 3.15 in dist/: make wheels" >&2; exit 1; }; \
	tools/armroot run sid /usr/bin/python3.15 $(CURDIR)/tools/venv-smoke /usr/bin/python3.15 $(CURDIR)/$$whl 24 $(PYTEST_ARGS)

# The root's python3 (3.14) runs mypy, the host's node pyright (from npm, on
# first use); the stubs sit where a wheel puts them.
typecheck: devroot
	tools/devroot run $(MAKE) --no-print-directory typecheck-root
	@command -v npm >/dev/null || tools/host-apt nodejs npm
	$(HOST_PYTHON) tools/typecheck pyright build/site-3.14

typecheck-root: build-root-3.14
	rm -rf build/site-3.14
	cmake --install build/py3.14 --prefix build/site-3.14 >/dev/null
	python3 tools/typecheck mypy build/site-3.14

demo: devroot
	tools/devroot run $(MAKE) --no-print-directory demo-root

demo-root: build-root-3.15
	PYTHONPATH=$(CURDIR)/build/py3.15 python3.15 examples/find_duplicates.py \
	  "$$(python3.15 -c 'import sysconfig; print(sysconfig.get_paths()["stdlib"])')"
leakcheck: devroot
	tools/devroot run $(MAKE) --no-print-directory leakcheck-root

leakcheck-root:
	tools/build python3.15d build/py3.15d
	PYTHONPATH=$(CURDIR)/build/py3.15d python3.15d tests/leakcheck.py

# The interpreter is not instrumented: the runtime is preloaded (with
# libstdc++, whose __cxa_throw the runtime must find at start), objects are
# allocated with malloc so that ASan sees them, and the interpreter's own
# leaks at exit are not reported.
sanitize: devroot
	tools/devroot run $(MAKE) --no-print-directory sanitize-root $(PASS_ARGS)

sanitize-root:
	tools/build python3.15 build/py3.15-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  "-DCMAKE_CXX_FLAGS=$(SAN_FLAGS)" "-DCMAKE_MODULE_LINKER_FLAGS=$(SAN_FLAGS)"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 QUERNWOOD_STDLIB_STRIDE=6 \
	  PYTHONPATH=$(CURDIR)/build/py3.15-asan python3.15 -m pytest -q -x -p no:cacheprovider \
	  -m "not slow_under_asan" tests $(PYTEST_ARGS)

clean:
	rm -rf build
