#!/bin/bash
# Speaks the voice prompts of the Traditional Chinese language library and
# shapes them for the telephone line: each one is fitted to its slot's length
# (tempo keeps the pitch), band-limited to the telephone band, levelled, and
# padded or cut to the exact number of samples the application expects.
# Output: PCM mono 8000 Hz 16-bit RIFF/WAVE files with a "fmt " and a "data"
# chunk only, in src/app/LangPack/Q5/Ch/voice/wav<ID>.wav.
#
# usage: tools/voice/make_voice.sh      (needs espeak-ng and sox)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
"$here/../install-deps.sh" espeak-ng sox
out=$here/../../src/app/LangPack/Q5/Ch/voice
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# Sound data bytes of each prompt, by identifier.
declare -A BYTES=(
  [5800]=26574 [5802]=25752 [5804]=24872 [5806]=64760 [5808]=10396
  [5810]=30046 [5812]=31204 [5814]=57746 [5816]=42744 [5818]=59880
  [5820]=50194 [5822]=44584 [5824]=29116 [5826]=102706 [5828]=76146
  [5830]=23138 [5832]=41690 [5834]=58802 [5836]=49378 [5838]=61556
  [5840]=55336)

LEAD=0.08   # seconds of silence before the speech
TAIL=0.10   # at least this much after it

# {English} words go to an English voice, the rest is read as pinyin.
to_ssml() {
  local s=$1 ssml="<speak>" rest
  while [ -n "$s" ]; do
    if [[ $s == \{* ]]; then
      ssml+="<voice name=\"en-us\">${s:1:$(($(expr index "$s" '}') - 2))}</voice>"
      s=${s#*\}}
    else
      rest=${s%%\{*}
      ssml+="<voice name=\"sit/cmn-Latn-pinyin\">$rest</voice>"
      s=${s:${#rest}}
    fi
  done
  printf '%s</speak>' "$ssml"
}

make_prompt() {
  local id=$1 spoken=$2
  local samples=$((BYTES[$id] / 2))
  espeak-ng -m -v cmn-latn-pinyin -s 165 -w "$work/raw.wav" "$(to_ssml "$spoken")"
  # Cut the synthesiser's own leading and trailing silence.
  sox "$work/raw.wav" "$work/speech.wav" silence 1 0.02 0.5% reverse silence 1 0.02 0.5% reverse
  local tempo
  tempo=$(awk -v d="$(soxi -D "$work/speech.wav")" -v n="$samples" -v l=$LEAD -v t=$TAIL \
    'BEGIN { f = d / (n / 8000 - l - t); if (f < 0.8) f = 0.8; printf "%.4f", f }')
  # Faster than this sounds hurried on a telephone line: shorten the text instead.
  if awk -v f="$tempo" 'BEGIN { exit !(f > 1.6) }'; then
    echo "make_voice: prompt $id is too long for its ${samples} samples (tempo $tempo)" >&2
    return 1
  fi
  sox -V1 -D -R "$work/speech.wav" -t wav -e signed-integer -b 16 "$out/wav$id.wav" \
    gain -6 tempo -s "$tempo" highpass 250 lowpass 3400 rate 8000 channels 1 norm -3 \
    pad $LEAD 10 trim 0 "${samples}s"
  printf '%s: tempo %s, %s bytes\n' "$id" "$tempo" "$(( $(stat -c %s "$out/wav$id.wav") - 44 ))"
}

grep -v '^#' "$here/prompts.txt" | while IFS='|' read -r id text spoken meaning; do
  [ -n "$id" ] || continue
  make_prompt "$id" "$spoken"
done
