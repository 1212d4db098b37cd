"""The player's keys: the keyboard state, read each time the player looks,
turned into commands."""

# SDL key codes.
K_ESCAPE, K_SPACE, K_Q, K_RIGHT, K_LEFT = 27, 32, 113, 275, 276
# Held arrows: the first repeat after this many ms, then one every interval.
REPEAT_DELAY, REPEAT_INTERVAL = 300, 40
# How often the keyboard is read while waiting for a frame, in seconds.
KEY_POLL = 0.005


class Keys:
    """Turns the keyboard state, read each time the player looks, into
    commands: "quit", "pause", and while a right or left arrow is held,
    "next" or "back" on the press and then at the key-repeat pace."""

    def __init__(self, delay_ms, interval_ms):
        self.delay, self.interval = delay_ms / 1000, interval_ms / 1000
        self.before = ()
        self.due = {}

    def commands(self, pressed, now):
        pressed = pressed or ()
        before, self.before = self.before, pressed

        def down(k, state=pressed):
            return k < len(state) and state[k]

        def struck(k):
            return down(k) and not down(k, before)

        out = []
        if struck(K_ESCAPE) or struck(K_Q):
            out.append("quit")
        if struck(K_SPACE):
            out.append("pause")
        for k, command in ((K_RIGHT, "next"), (K_LEFT, "back")):
            if not down(k):
                self.due.pop(k, None)
            elif struck(k):
                out.append(command)
                self.due[k] = now + self.delay if self.delay > 0 else None
            elif self.due.get(k) is not None and now >= self.due[k]:
                out.append(command)
                # A late look at the keys steps once, not once per interval
                # missed.
                self.due[k] += self.interval
                if self.due[k] <= now:
                    self.due[k] = now + self.interval
        return out
