# What the set-up scripts share, sourced by them: the cache that downloads
# go into, and apt calls that only what is really needed can stop. A mirror
# that is syncing one index the project never uses must not stop a run.

# The cache: CAMERA_PATCH_CACHE when set (CI can keep it between runs, and a
# check can start from an empty one); else the system's cache as root, and
# the user's own otherwise.
cache_folder() {
  if [[ -n ${CAMERA_PATCH_CACHE-} ]]; then
    echo "$CAMERA_PATCH_CACHE"
  elif ((EUID == 0)); then
    echo /var/cache/camera-patch
  else
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/camera-patch"
  fi
}

# Other checkouts on this machine share the cache: one fills it, the others
# wait. The lock is held until the calling script ends.
lock_cache() {
  mkdir -p "$1"
  exec 9>"$1/lock"
  flock 9
}

attempts=3
pause_seconds=10

# One line, naming what cannot be had, and the end of the set-up.
cannot_have() {
  echo "camera-patch set-up: $1" >&2
  exit 1
}

# Fetches the package lists with `"$@" update`. A list that cannot be had
# (a mirror in the middle of a sync, a suite it lacks) is tried again, and
# then left out, never fatal: what decides is whether the packages needed
# can then be installed or downloaded, which their own calls find out.
refresh_lists() {
  local attempt
  for ((attempt = 1; attempt <= attempts; attempt++)); do
    if "$@" update -q >&2; then
      return 0
    fi
    if ((attempt < attempts)); then
      echo "Some package lists could not be fetched; trying again in ${pause_seconds} s" >&2
      sleep "$pause_seconds"
    fi
  done
  echo "Some package lists could not be fetched; going on with those that were" >&2
}

# Runs "$@" until it succeeds, at most `attempts` times, with a pause and
# fresh lists between tries: a package the lists named may have moved on
# meanwhile. The first argument names an array holding the apt-get command
# that fetches the lists; an empty one, where the lists may not be fetched.
with_retries() {
  local -n lists_command="$1"
  shift
  local attempt
  for ((attempt = 1; attempt <= attempts; attempt++)); do
    if "$@"; then
      return 0
    fi
    if ((attempt < attempts)); then
      echo "That failed; trying again in ${pause_seconds} s" >&2
      sleep "$pause_seconds"
      if ((${#lists_command[@]} > 0)); then
        refresh_lists "${lists_command[@]}"
      fi
    fi
  done
  return 1
}
