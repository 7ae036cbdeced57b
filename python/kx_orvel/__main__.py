"""python3 -m kx_orvel timeline [--profile A.profile ...] [--hop S] [--window S] [--threshold T] [--min-turn S]
       [--switch-cost C] [--min-pause S] [--speakers N] [--json | --rttm] [--plot OUT.png] FILE...

Who spoke when, as `kx-orvel timeline` prints it; --plot draws one lane per speaker."""

import argparse
import json
import os
import sys

from . import DEFAULT_VOICE_THRESHOLD, KxError, Recognizer, load_profile
from .audio import AudioError, read_audio
from . import segments as _segments
from .segments import NO_SPEECH, hop_frames, plot, profile_names, timeline


def _rttm_field(text):
    return "".join("_" if c in " \t\n" else c for c in text) or "_"


def _timeline(args):
    paths = args.profile or []
    names = profile_names(paths)
    profiles = dict(zip(names, (load_profile(p) for p in paths)))
    results, failed = {}, False
    with Recognizer(args.model, device=args.device, voice_threshold=args.voice_threshold) as recognizer:
        if args.window is not None and _segments.window_samples(args.window) < recognizer.min_audio_length_samples:
            print(f"python3 -m kx_orvel: --window {args.window:g} s is shorter than the "
                  f"{recognizer.min_audio_length_samples / 16000:.2f} s the model needs", file=sys.stderr)
            return 2
        for path in args.files:
            try:
                pcm = read_audio(path)
            except AudioError as e:
                print(f"python3 -m kx_orvel: {e}", file=sys.stderr)
                failed = True
                continue
            if len(pcm) < recognizer.min_audio_length_samples:
                print(f"python3 -m kx_orvel: {path}: too short ({len(pcm) / 16000:.2f} s; at least "
                      f"{recognizer.min_audio_length_samples / 16000:.2f} s needed)", file=sys.stderr)
                failed = True
                continue
            results[path] = (len(pcm) / 16000, timeline(pcm, profiles, recognizer, hop=args.hop, window=args.window,
                                                        threshold=args.threshold, min_turn=args.min_turn,
                                                        switch_cost=args.switch_cost, speakers=args.speakers,
                                                        min_pause=args.min_pause),
                             recognizer.min_audio_length_samples)
    if args.rttm:
        for path, (_, segments, _) in results.items():
            recording = _rttm_field(os.path.splitext(os.path.basename(path))[0])
            for s in segments:
                if s.label != NO_SPEECH:
                    print(f"SPEAKER {recording} 1 {s.start:.3f} {s.end - s.start:.3f} <NA> <NA> "
                          f"{_rttm_field(s.label)} <NA> <NA>")
    elif args.json:
        print(json.dumps({"files": [{"file": path, "seconds": seconds,
                                     "segments": [vars(s) for s in segments]}
                                    for path, (seconds, segments, _) in results.items()]}))
    else:
        hop = hop_frames(args.hop) * _segments.FRAME
        for path, (seconds, segments_, window) in results.items():
            windows = (int(round(seconds * 16000)) // _segments.FRAME * _segments.FRAME - window) // hop + 1
            print(f"{path} ({seconds:.2f} s, {windows} windows of {window / 16000:.2f} s every "
                  f"{hop / 16000:.2f} s):")
            print(f"  {'start':>9}  {'end':>9}  {'speaker':<20}  score")
            for s in segments_:
                score = "-" if s.score is None else f"{s.score:.3f}"
                print(f"  {s.start:9.2f}  {s.end:9.2f}  {s.label:<20}  {score}")
    if args.plot and results:
        plot({os.path.basename(p): found for p, (_, found, _) in results.items()}, args.plot)
    return 2 if failed else 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m kx_orvel")
    commands = parser.add_subparsers(dest="command", required=True)
    t = commands.add_parser("timeline", help="who spoke when")
    t.add_argument("--profile", action="append", help="a speaker profile file (repeat; none: plain diarization)")
    t.add_argument("--hop", type=float, default=_segments.HOP, help="seconds between embedded windows")
    t.add_argument("--window", type=float, default=_segments.WINDOW,
                   help="seconds around a hop whose windows are scored together (default: the model's window)")
    t.add_argument("--threshold", type=float, default=0.5, help="the verification threshold profiles are held to")
    t.add_argument("--min-turn", type=float, default=_segments.MIN_TURN, help="seconds: the shortest turn")
    t.add_argument("--switch-cost", type=float, default=_segments.SWITCH_COST,
                   help="score a change of speaker must gain")
    t.add_argument("--min-pause", type=float, default=_segments.MIN_PAUSE,
                   help="seconds: shorter no speech between two stretches of one speaker is part of the turn")
    t.add_argument("--speakers", type=int, help="number of anonymous speakers, when known")
    t.add_argument("--voice-threshold", type=float, default=DEFAULT_VOICE_THRESHOLD)
    t.add_argument("--model", help="model file (default: the default model)")
    t.add_argument("--device", default="best")
    form = t.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true")
    form.add_argument("--rttm", action="store_true")
    t.add_argument("--verbose", action="store_true", help="show the library's error stack after a failure")
    t.add_argument("--plot", metavar="OUT.png", help="draw the timeline, one lane per speaker")
    t.add_argument("files", nargs="+", metavar="FILE")
    args = parser.parse_args(argv)
    try:
        return _timeline(args)
    except (KxError, ValueError, OSError) as e:
        # A library failure leads with its sentence; the raw stack only on request.
        text = e.sentence if isinstance(e, KxError) and not args.verbose else str(e)
        print(f"python3 -m kx_orvel: {text}", file=sys.stderr)
        return 3 if isinstance(e, KxError) else 2


if __name__ == "__main__":
    sys.exit(main())
