# Settings shared by run_fuzzers.sh and keep_corpus.sh (sourced from the
# repository's top folder).
build=${FUZZ_BUILD_DIR:-build-fuzz}
work=${FUZZ_WORK_DIR:-$build/campaign}
# The targets write a few small files per input: on a memory file system
# that costs little.
if [[ -z ${FUZZ_TMPDIR:-} && -d /dev/shm && -w /dev/shm ]]; then FUZZ_TMPDIR=/dev/shm; fi
export TMPDIR=${FUZZ_TMPDIR:-${TMPDIR:-/tmp}}

# The longest input a target takes: names are at most 255 bytes.
max_len() {
  case $1 in
    name) echo 256 ;;
    *) echo 16384 ;;
  esac
}
