#!/usr/bin/env python3
"""A bot for a world server: logs in, enters a room, greets it, walks a square, and answers
every chat line that holds its word, for a given number of seconds.

  bot.py [--host H] [--port P] [--name N] [--room R] [--word W] [--seconds S]
"""
import argparse
import sys

import veltra


def main() -> int:
    ap = argparse.ArgumentParser(description="A greeting, walking, answering bot.")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=6650)
    ap.add_argument("--name", default="bot")
    ap.add_argument("--room", default="Brackenvel#ChatHall")
    ap.add_argument("--word", default="ping", help="the word the bot answers")
    ap.add_argument("--seconds", type=float, default=30, help="how long the bot stays")
    args = ap.parse_args()
    try:
        with veltra.Session(args.host, args.port) as s:
            s.login(args.name)
            room = s.room_id(args.room)
            s.teleport(room, x=0, y=0)
            s.say("hello, I am %s; say %r to me" % (args.name, args.word))
            print("%s: in room %d" % (args.name, room), flush=True)
            steps = [(100, 0), (100, 100), (0, 100), (0, 0)]
            for i, cmd in enumerate(s.commands(args.seconds)):
                if isinstance(cmd, veltra.Text) and args.word in cmd.text and cmd.sender.describe() != args.name:
                    s.say("%s: pong" % cmd.sender.describe())
                    print("%s: answered %s" % (args.name, cmd.sender.describe()), flush=True)
                x, y = steps[i % len(steps)]
                s.move(x, y, 0, 90 * (i % 4))
    except (OSError, ValueError) as e:
        print("bot: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
