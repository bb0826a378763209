#!/usr/bin/env bash
# Regenerates the small media fixtures of tests/data with ffmpeg from
# synthetic sources.  The results are committed, so the unit tests do not need
# ffmpeg; run this only to change or add fixtures.
set -euo pipefail
cd "$(dirname "$0")"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
common=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)
video() { echo -f lavfi -i "testsrc=size=${1}:rate=${2}:duration=${3}"; }
audio() { echo -f lavfi -i "sine=frequency=440:sample_rate=${1}:duration=${2}"; }

# MPEG-4 Visual video with AAC audio, moov before mdat (the bundled sample).
ff $(video 176x144 25 2) $(audio 44100 2) "${common[@]}" \
   -c:v mpeg4 -g 12 -q:v 8 -c:a aac -b:a 48k -ac 1 -movflags +faststart av.mp4
# The same with moov after mdat.
ff $(video 176x144 25 2) $(audio 44100 2) "${common[@]}" \
   -c:v mpeg4 -g 12 -q:v 8 -c:a aac -b:a 48k -ac 1 av_moov_last.mp4
# Audio only (stereo, 48 kHz) and video only.
ff $(audio 48000 1) "${common[@]}" -c:a aac -b:a 64k -ac 2 audio.mp4
ff $(video 128x96 10 3) "${common[@]}" -c:v mpeg4 -g 10 -q:v 10 video.mp4
# A long video: more than 2000 frames, several writer blocks and chunk runs.
ff $(video 32x32 25 90) "${common[@]}" -c:v mpeg4 -g 50 -q:v 31 long_video.mp4
# The same content through libxvid, another MPEG-4 Visual encoder.
ff $(video 160x120 30 1) "${common[@]}" -c:v libxvid -g 15 -q:v 10 xvid.mp4
# MP3 in MP4, for the MPEG audio branch of the file information.
ff $(video 176x144 25 1) $(audio 44100 1) "${common[@]}" \
   -c:v mpeg4 -q:v 10 -c:a libmp3lame -b:a 64k -ac 2 mp3.mp4
# Files whose tracks the library does not serve: H.263 in 3GP, H.264, and a
# fragmented file (its samples in moof fragments, an empty moov).
ff $(video 176x144 15 1) $(audio 8000 1) "${common[@]}" \
   -c:v h263 -q:v 10 -c:a aac -b:a 16k -ac 1 h263.3gp
ff $(video 64x48 25 1) $(audio 44100 1) "${common[@]}" \
   -c:v libx264 -preset ultrafast -crf 40 -c:a aac -b:a 32k -ac 1 h264.mp4
ff $(video 64x48 25 1) $(audio 44100 1) "${common[@]}" \
   -c:v mpeg4 -q:v 20 -g 10 -c:a aac -b:a 32k -ac 1 -movflags +frag_keyframe+empty_moov fragmented.mp4

# Elementary streams for the writer and the remultiplexing operations.
ff $(video 176x144 25 2) "${common[@]}" -c:v mpeg4 -g 12 -q:v 8 -f m4v video.m4v
ff $(video 160x120 30 1) "${common[@]}" -c:v libxvid -g 15 -q:v 10 -f m4v video_xvid.m4v
ff $(video 176x144 15 1) "${common[@]}" -c:v h263 -q:v 10 -f h263 video.h263
# MPEG-4 Visual with B-frames, and at 30 frames per second (ffmpeg's encoder
# leaves fixed_vop_rate at 0: the rate is in the planes' time stamps only).
ff $(video 64x48 25 1) "${common[@]}" -c:v mpeg4 -q:v 20 -g 12 -bf 2 -f m4v bframes.m4v
ff $(video 64x48 30 1) "${common[@]}" -c:v mpeg4 -q:v 20 -g 12 -f m4v video_30fps.m4v
ff $(audio 44100 2) "${common[@]}" -c:a aac -b:a 48k -ac 1 -f adts audio.aac

ls -l
