"""What the engine tells a game: warnings, in categories a game can filter,
for what it did anyway, and the exception for input it refuses."""


class MediaWarning(UserWarning):
    """Something in a file that the engine worked around: it plays on."""


class PictureWarning(MediaWarning):
    """The picture is shown otherwise than the file asks (a turn that is no
    quarter turn, a waveform that cannot be drawn)."""


class SubtitleWarning(MediaWarning):
    """Subtitles that cannot be shown: the video plays on without them."""


class DamageWarning(MediaWarning):
    """Damaged data skipped: where it was and how much, once a stretch (the
    picture and the sound play on after it)."""
