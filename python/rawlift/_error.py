"""The one exception class of the rawlift module."""


class Error(Exception):
    """A failure of librawlift: `code` is the library's status (one of the
    STATUS_* constants of the rawlift module) and `text` says it in words.
    For STATUS_NO_PREVIEW, `reason` and `reason_text` say why the file has
    no JPEG (the same reasons `rawlift identify` gives)."""

    def __init__(self, code, text, reason=None, reason_text=None):
        super().__init__(code, text)
        self.code = code
        self.text = text
        self.reason = reason
        self.reason_text = reason_text

    def __str__(self):
        if self.reason_text:
            return "%s (%s)" % (self.text, self.reason_text)
        return self.text
