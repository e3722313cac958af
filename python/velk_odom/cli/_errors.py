"""The exceptions that the command turns into a one-line message and its exit status."""


class UserError(Exception):
    """A problem the user can fix (a missing file, a wrong topic, a typo in the configuration). The
    message names the problem and the fix, in one line. Exit status 2."""

    status = 2


class DamagedRecording(UserError):
    """A recording so damaged that nothing could be made of it. Exit status 1, that of a replay
    that damage cut short."""

    status = 1


def one_line(err: BaseException) -> str:
    """An exception as one line, its type first: a reader's multi-line message must not break the
    one-line form of what the command prints."""
    text = " ".join(str(err).split())
    return f"{type(err).__name__}: {text}" if text else type(err).__name__
