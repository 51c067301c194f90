#!/usr/bin/env bash
# Fails when a binary imports a symbol of a library that must be bound at run time.
status=0
for bin in "$@"; do
  hits=$(nm -D --undefined-only "$bin" | awk '{print $NF}' | grep -E '^(av|sws_|swr_|SDL_|soundtouch_)' || true)
  if [ -n "$hits" ]; then
    echo "$bin links symbols that must be bound at run time:"
    echo "$hits"
    status=1
  else
    echo "$bin: no linked media symbols"
  fi
done
exit $status
