"""Chapters as the player goes through them: which one a time is in, where
Page Up and Page Down go from it, and how the player names one."""

# Within this many seconds of a chapter's start, going back goes to the
# start of the chapter before rather than this one's.
BACK_WINDOW = 2.0
# A time this close below a chapter's start is taken as at it (the frame
# landed on for a start is the first at or after it).
SLACK = 1e-4


def chapter_at(chapters, seconds):
    """The index of the chapter `seconds` is in (the last that starts at or
    before it), or -1 before the first."""
    found = -1
    for number, (start, _, _) in enumerate(chapters):
        if start <= seconds + SLACK:
            found = number
    return found


def chapter_to(chapters, seconds, direction):
    """The chapter to go to from `seconds`: the next (`direction` > 0), or
    back, this one's start, or the one before's within BACK_WINDOW of this
    one's start.  -1 going back from before the first (the start of the
    file); None going on from the last (nowhere)."""
    here = chapter_at(chapters, seconds)
    if direction > 0:
        return here + 1 if here + 1 < len(chapters) else None
    if here < 0:
        return -1
    return here - 1 if seconds - chapters[here][0] < BACK_WINDOW else here


def name(chapters, number):
    """"chapter 3/12: The Storm", or "chapter 3/12" where it has no title."""
    title = chapters[number][2]
    return "chapter %d/%d%s" % (number + 1, len(chapters), ": " + title if title else "")
