# The two commands of the README, `make demo` and `make test`, and the rest of the set-up.
# Every target first installs the Debian packages that are missing, so a fresh Debian 12
# machine needs nothing else.

PREFIX ?= /usr/local
SECONDS ?= 60
SEED ?= $(shell date +%s)
# Parallel build jobs: every core of the machine unless given.
JOBS ?= $(shell nproc)
PACKAGES := cmake make g++ pkg-config libtbb-dev libboost-dev libgtest-dev libbenchmark-dev \
            nlohmann-json3-dev libcli11-dev libpng-dev libclang-rt-14-dev
PACKAGES += pybind11-dev python3-dev python3-numpy python3-pytest python3-distributed
TSAN_PACKAGES := $(PACKAGES) ca-certificates xz-utils
FUZZ_PACKAGES := $(PACKAGES) clang libclang-rt-14-dev
# The studio: its server on Debian's Python, its page built with Node.js and npm, its browser
# test in Chromium.
STUDIO_PACKAGES := python3-fastapi python3-uvicorn python3-numpy python3-pil python3-pytest \
                   python3-httpx python3-selenium chromium chromium-driver nodejs
PORT ?= 8765

.PHONY: all deps release test unit asan tsan tsan-tbb install demo bench clean stress fuzz \
        fuzz-build memcheck studio studio-web studio-deps

all: release

# Installs whichever of $(1) is missing, with apt-get.
define install_missing
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

release: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

# The whole suite: every test in Release (with the packaging test), everything but the
# packaging test under ASan+UBSan, the concurrency tests under ThreadSanitizer, the fuzzer for
# SECONDS (60) seconds and the demo once under valgrind's memcheck.
test: unit asan tsan fuzz memcheck

unit: release studio-web
	ctest --preset release -j $(JOBS)

asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

tsan-tbb:
	$(call install_missing,$(TSAN_PACKAGES))
	cmake/build-tsan-tbb.sh build/tbb-tsan

tsan: tsan-tbb
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target concurrency_tests
	ctest --preset tsan -j $(JOBS)

# The randomized stress test for SECONDS seconds, from seed SEED (the clock unless given); a
# failure prints the seed that replays it.
stress: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target stress_concurrency_test
	DATA_FLOW_STRESS_SECONDS=$(SECONDS) DATA_FLOW_STRESS_SEED=$(SEED) \
	  build/release/tests/stress_concurrency_test

# The fuzzers, built with clang under ASan+UBSan, for SECONDS seconds each: the API fuzzer from
# the committed seeds in fuzz/corpus, the document fuzzer from the example graph documents, each
# plus what earlier runs found (kept in build/fuzz/corpus and build/fuzz/document-corpus). A
# failing input is written to build/fuzz/ as crash-* (document-crash-*); replay it with
# build/fuzz/fuzz/data_flow_fuzzer <file> (document_fuzzer).
fuzz-build:
	$(call install_missing,$(FUZZ_PACKAGES))
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

fuzz: fuzz-build
	@mkdir -p build/fuzz/corpus
	build/fuzz/fuzz/data_flow_fuzzer -max_total_time=$(SECONDS) -timeout=60 -rss_limit_mb=4096 \
	  -print_final_stats=1 -artifact_prefix=build/fuzz/ build/fuzz/corpus fuzz/corpus
	@mkdir -p build/fuzz/document-corpus
	build/fuzz/fuzz/document_fuzzer -max_total_time=$(SECONDS) -timeout=60 -rss_limit_mb=4096 \
	  -print_final_stats=1 -artifact_prefix=build/fuzz/document- build/fuzz/document-corpus \
	  examples/graphs

# The demo once under valgrind's memcheck: any memory error or definite leak fails.
memcheck: deps
	$(call install_missing,valgrind)
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target demo image_kinds
	valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
	  --show-leak-kinds=definite build/release/examples/demo build/memcheck-output

install: release studio-web
	cmake --install build/release --prefix $(PREFIX)

# The studio's page: `npm ci` from the committed lock file when that changed, and a Vite build
# into build/studio-web when a source changed; the server serves it from there.
STUDIO_WEB := build/studio-web
STUDIO_WEB_SOURCES := $(wildcard studio/web/src/*) studio/web/index.html \
                      studio/web/vite.config.ts studio/web/tsconfig.json

studio-deps:
	$(call install_missing,$(STUDIO_PACKAGES))

studio/web/node_modules/.package-lock.json: studio/web/package-lock.json studio/web/package.json
	cd studio/web && npm ci --no-audit --no-fund

$(STUDIO_WEB)/index.html: studio/web/node_modules/.package-lock.json $(STUDIO_WEB_SOURCES)
	cd studio/web && npm run build -- --outDir ../../$(STUDIO_WEB) --logLevel warn

studio-web: studio-deps
	@$(MAKE) --no-print-directory $(STUDIO_WEB)/index.html

# The studio on the example graph, at http://127.0.0.1:$(PORT)/ (Ctrl-C stops it), run in
# build/studio-output, where the graph's PNG sink writes rings.png.
studio: release studio-web
	mkdir -p build/studio-output
	cd build/studio-output && ../release/studio/dataflow-studio ../../examples/graphs/rings.json \
	  --plugin ../release/examples/image_kinds.so --port $(PORT)

# The demo: builds only the host, its plugin and the Python module (Release) and runs the host
# from the build tree; the PNG and DOT files go to build/demo-output/.
demo: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target demo image_kinds data_flow_python
	build/release/examples/demo build/demo-output

# The benchmarks, each printing its figures beside their baselines with the ratios.
BENCHMARKS := bench_evaluation bench_slices bench_async bench_librarian bench_memory bench_trace \
              bench_branches
bench: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target $(BENCHMARKS)
	@set -e; for b in $(BENCHMARKS); do echo "== $$b"; build/release/bench/$$b; done

clean:
	rm -rf build
