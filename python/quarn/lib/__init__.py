"""The compiled core of quarn (``quarn.lib._quarn``)."""
