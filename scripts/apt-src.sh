# shellcheck shell=bash
# Sourced by the scripts that build with Debian's source packages (Qt, xdelta3, xz-utils).
#
#   ensure_deb_src PACKAGE [WHO]
#
# Makes sure `apt-get source PACKAGE` can work: when apt knows no source for PACKAGE, every
# `deb` entry of the machine's own apt sources that names this release (its codename, alone or
# with a suffix such as -updates or -security) gets a `deb-src` twin with the same URIs, suites,
# components and options (the keyring among them), and apt's lists are updated. Nothing is
# fixed here: the twins point wherever the machine's own packages come from, so this works
# wherever apt works. Both formats are read: the one-line `.list` files and deb822 `.sources`.
# The twins live in two files of ours, written again on every call, so a run interrupted
# between writing them and updating the lists is repaired by the next one.
# Works as root and as a user with sudo.

apt_src_list=/etc/apt/sources.list.d/quill-patch-tool-src.list
apt_src_sources=/etc/apt/sources.list.d/quill-patch-tool-src.sources

# Runs a command as root: directly when we are root, through sudo otherwise. sudo resets the
# environment, so variables go through `env` rather than as assignments before the command
# (an assignment after an expansion would be taken for the command's name).
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# The one-line `deb` entries of FILE, as `deb-src` entries of this release.
apt_src_twins_oneline() {
  local codename="$1" file="$2"
  awk -v codename="$codename" '
    { sub(/#.*/, "") }
    $1 != "deb" { next }
    {
      # deb [options] URI suite [components]: the options are one bracketed group, which may
      # hold spaces.
      line = $0
      sub(/^[ \t]*deb[ \t]+/, "", line)
      opts = ""
      if (substr(line, 1, 1) == "[") {
        end = index(line, "]")
        if (end == 0) next
        opts = substr(line, 1, end) " "
        line = substr(line, end + 1)
      }
      n = split(line, f, /[ \t]+/)
      k = 0
      for (i = 1; i <= n; i++) if (f[i] != "") w[++k] = f[i]
      if (k < 2) next
      suite = w[2]
      if (suite != codename && index(suite, codename "-") != 1) next
      out = "deb-src " opts w[1] " " suite
      for (i = 3; i <= k; i++) out = out " " w[i]
      print out
    }' "$file"
}

# The deb822 paragraphs of FILE whose types include `deb` and whose suites name this release,
# as `deb-src` paragraphs with every other field (continuation lines too) kept as it is.
apt_src_twins_deb822() {
  local codename="$1" file="$2"
  awk -v codename="$codename" '
    function flush(   i, s, n, ok) {
      if (nlines > 0 && hasdeb && enabled) {
        n = split(suites, s, /[ \t]+/)
        ok = 0
        for (i = 1; i <= n; i++) if (s[i] == codename || index(s[i], codename "-") == 1) ok = 1
        if (ok) {
          print "Types: deb-src"
          for (i = 1; i <= nlines; i++) print lines[i]
          print ""
        }
      }
      nlines = 0; hasdeb = 0; enabled = 1; suites = ""; field = ""
    }
    BEGIN { enabled = 1 }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    /^[ \t]/ { if (field != "types") lines[++nlines] = $0; next }
    {
      colon = index($0, ":")
      if (colon == 0) next
      field = tolower(substr($0, 1, colon - 1))
      value = substr($0, colon + 1)
      gsub(/^[ \t]+|[ \t]+$/, "", value)
      if (field == "types") {
        n = split(value, t, /[ \t]+/)
        for (i = 1; i <= n; i++) if (t[i] == "deb") hasdeb = 1
        next
      }
      if (field == "enabled" && tolower(value) == "no") enabled = 0
      if (field == "suites") suites = value
      lines[++nlines] = $0
    }
    END { flush() }' "$file"
}

# Whether apt knows the source package. Not grep -q: it stops reading at the first match, and
# apt-cache, killed by the broken pipe while it still writes, would fail the pipeline under
# pipefail whenever the package has more than a screenful of entries.
apt_knows_source() {
  apt-cache showsrc "$1" 2>/dev/null | grep -c "^Package: $1\$" >/dev/null
}

ensure_deb_src() {
  local package="$1" who="${2:-setup}"
  if apt_knows_source "$package"; then return 0; fi
  local codename oneline="" deb822="" f
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  if [ -z "$codename" ]; then
    echo "$who: this system does not name its release (VERSION_CODENAME in /etc/os-release), so no source entry can be made for $package" >&2
    return 1
  fi
  # apt reads sources.list and, in sources.list.d, only names ending in .list or .sources.
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && [ "$f" != "$apt_src_list" ] || continue
    oneline+="$(apt_src_twins_oneline "$codename" "$f")"$'\n'
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$apt_src_sources" ] || continue
    deb822+="$(apt_src_twins_deb822 "$codename" "$f")"$'\n\n'
  done
  oneline="$(printf '%s' "$oneline" | sed '/^$/d')"
  deb822="$(printf '%s' "$deb822" | cat -s)"
  if [ -z "$oneline" ] && [ -z "$(printf '%s' "$deb822" | tr -d '[:space:]')" ]; then
    echo "$who: apt's sources name no package archive of $codename, so there is no source archive to add for $package" >&2
    return 1
  fi
  echo "$who: adding source entries beside apt's own for $codename, to fetch $package" >&2
  as_root rm -f "$apt_src_list" "$apt_src_sources"
  if [ -n "$oneline" ]; then
    printf '%s\n' "$oneline" | as_root tee "$apt_src_list" >/dev/null
  fi
  if [ -n "$(printf '%s' "$deb822" | tr -d '[:space:]')" ]; then
    printf '%s\n' "$deb822" | as_root tee "$apt_src_sources" >/dev/null
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  if ! apt_knows_source "$package"; then
    echo "$who: apt still knows no source package $package after adding $apt_src_list / $apt_src_sources" >&2
    return 1
  fi
}
