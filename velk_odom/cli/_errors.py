"""The one exception type that the command turns into a one-line message and exit status 2."""


class UserError(Exception):
    """A problem the user can fix (a missing file, a wrong topic, a typo in the configuration). The
    message names the problem and the fix, in one line."""
