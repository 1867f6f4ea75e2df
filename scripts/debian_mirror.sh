# Sourced by the scripts that fetch from Debian (matrix.sh, wheels.sh).
#
# The Debian archive this machine's apt reads: the first enabled "deb" source whose path
# ends in /debian, in sources.list, then *.list and deb822 *.sources files in order.
apt_mirror() {
  local f found=""
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    case "$f" in
      *.sources) # stanzas: "Types: deb ...", "URIs: ...", maybe "Enabled: no"
        found="$(awk -v RS= '
          /(^|\n)Enabled:[ \t]*no/ { next }
          /(^|\n)Types:[^\n]*[ \t]deb([ \t\n]|$)/ {
            n = split($0, lines, "\n")
            for (i = 1; i <= n; i++) if (lines[i] ~ /^URIs:/) {
              m = split(substr(lines[i], 6), uris, /[ \t]+/)
              for (j = 1; j <= m; j++) if (uris[j] ~ /\/debian\/?$/) { print uris[j]; exit }
            }
          }' "$f")" ;;
      *) # one-line form: deb [options] URI suite components
        found="$(sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" |
          awk '$1 == "deb" && $2 ~ /\/debian\/?$/ { print $2; exit }')" ;;
    esac
    [ -z "$found" ] || break
  done
  [ -n "$found" ] || {
    echo "no Debian mirror in /etc/apt; name one in QUARN_DEBIAN_MIRROR" >&2
    return 1
  }
  echo "${found%/}"
}
