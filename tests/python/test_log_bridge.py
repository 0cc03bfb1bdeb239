import logging
import sys

import pytest


class TestLogBridge:
    @pytest.mark.parametrize("where", ["here", "released", "thread"])
    def test_events_reach_logging_with_fields(self, hooks, caplog, where):
        with caplog.at_level(logging.DEBUG, logger="korvane_embed"):
            hooks.emit_log("korvane_embed::kernel_pca", 1, "costly fit", {"n": 2000, "dim": 64}, where=where)
        [record] = [r for r in caplog.records if r.name == "korvane_embed.kernel_pca"]
        assert record.levelno == logging.WARNING
        assert record.getMessage() == "costly fit"
        assert (record.n, record.dim) == (2000, 64)

    def test_levels_and_filtering(self, hooks, caplog):
        with caplog.at_level(logging.INFO, logger="korvane_test"):
            for level in range(5):
                hooks.emit_log("korvane_test", level, f"level {level}", {"ok": True, "x": 0.5, "s": "é"})
        assert [r.levelno for r in caplog.records if r.name == "korvane_test"] == [40, 30, 20]
        assert caplog.records[0].s == "é" and caplog.records[0].x == 0.5 and caplog.records[0].ok is True

    def test_percent_signs_are_not_formatted(self, hooks, caplog):
        with caplog.at_level(logging.WARNING, logger="korvane_test"):
            hooks.emit_log("korvane_test", 1, "100% of %s", {})
        assert caplog.records[-1].getMessage() == "100% of %s"

    def test_a_failing_handler_is_reported_as_unraisable(self, hooks, monkeypatch):
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", seen.append)
        class Exploding(logging.Handler):
            def emit(self, record):
                raise RuntimeError("handler failed")

            def handleError(self, record):
                raise

        logger = logging.getLogger("korvane_explode")
        handler = Exploding()
        logger.addHandler(handler)
        try:
            assert hooks.emit_log("korvane_explode", 0, "boom", {}) is None
        finally:
            logger.removeHandler(handler)
        assert [type(u.exc_value) for u in seen] == [RuntimeError]
