#!/usr/bin/env bash
# boardcam-serve's folders keep their borders: feed/ knows no protocol, and a
# protocol's folder uses feed/ and http/ (and mp4/, the container's boxes)
# but never another protocol's.
#   tests/serve/check_layout.sh tools/serve
set -uo pipefail
root=${1:?the boardcam-serve source folder}
declare -A allowed=(
  [feed]="feed"
  [http]="feed http"
  [rtsp]="feed http rtsp"
  [webrtc]="feed http webrtc"
  [record]="feed http mp4 record"
  [mse]="feed http mp4 mse"
  [mp4]="mp4"
)
status=0
for folder in "${!allowed[@]}"; do
  [ -d "$root/$folder" ] || { echo "missing folder $root/$folder"; status=1; continue; }
  while IFS=: read -r file line include; do
    target=$(sed -E 's/.*#include "([a-z0-9_]+)\/.*/\1/' <<<"$include")
    if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
      echo "$file:$line: $folder/ includes $target/: $(tr -s ' ' <<<"$include")"
      status=1
    fi
  done < <(grep -rnE '#include "[a-z0-9_]+/' "$root/$folder" --include='*.[ch]')
done
[ $status -eq 0 ] && echo "every folder keeps to its borders"
exit $status
