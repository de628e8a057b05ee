# Reading the machine's Debian package sources, for the install scripts.
# Sourced, not run. Both forms of apt's sources are understood: the classic
# one-line form (/etc/apt/sources.list and sources.list.d/*.list, options in
# [brackets] allowed) and the deb822 form (sources.list.d/*.sources).

# Prints the URI of the Debian archive that serves SUITE (e.g. bookworm):
# the first enabled "deb" or "deb-src" entry whose suite is exactly SUITE,
# else the first one whose URI is not a security archive; prints nothing
# (and returns 1) when no source is configured. ETC is apt's configuration
# folder (default /etc/apt; the tests give a folder of sample files).
orv_debian_mirror() {
  local suite=$1 etc=${2:-/etc/apt}
  local files=() f
  [ -f "$etc/sources.list" ] && files+=("$etc/sources.list")
  for f in "$etc"/sources.list.d/*.list "$etc"/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
  done
  [ ${#files[@]} -gt 0 ] || return 1
  local found
  found=$(awk -v suite="$suite" '
    function entry(uri, suites,   n, parts, i) {
      if (uri == "") return
      n = split(suites, parts, /[ \t]+/)
      for (i = 1; i <= n; i++) if (parts[i] == suite && exact == "") exact = uri
      if (other == "" && uri !~ /security/) other = uri
    }
    function stanza_end() {
      if (types ~ /(^|[ \t])deb(-src)?([ \t]|$)/ && tolower(enabled) != "no") entry(uris, suites)
      types = uris = suites = enabled = ""
    }
    FNR == 1 { stanza_end(); deb822 = (FILENAME ~ /\.sources$/) }
    /^[ \t]*#/ { next }
    deb822 {
      if ($0 ~ /^[ \t]*$/) { stanza_end(); next }
      if ($0 ~ /^[ \t]/) next   # a folded line (the key block of Signed-By)
      line = $0
      key = tolower(line); sub(/:.*/, "", key)
      value = line; sub(/^[^:]*:[ \t]*/, "", value); sub(/[ \t]+$/, "", value)
      if (key == "types") types = value
      else if (key == "uris") { split(value, u, /[ \t]+/); uris = u[1] }
      else if (key == "suites") suites = value
      else if (key == "enabled") enabled = value
      next
    }
    $1 == "deb" || $1 == "deb-src" {
      line = $0; sub(/#.*/, "", line)
      sub(/^[ \t]*deb(-src)?[ \t]+/, "", line)
      if (line ~ /^\[/) sub(/^\[[^]]*\][ \t]*/, "", line)
      split(line, f, /[ \t]+/)
      entry(f[1], f[2])
    }
    END { stanza_end(); print (exact != "" ? exact : other) }
  ' "${files[@]}")
  found=${found%/}
  [ -n "$found" ] || return 1
  echo "$found"
}
