"""Where frames come from: ``reader`` (the one way into a file through
FFmpeg's libraries: open, stream choice, seek, demux, decode and close),
``media`` (media files and their stills, standing on it), ``waveform`` (the
picture of sound alone, on it too) and ``raw`` (raw frames, read as they
lie)."""
