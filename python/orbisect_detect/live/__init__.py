"""``orbisect live``: a camera or stream in, detections out, and a page to
watch and tune it.

- :mod:`.engine`: the detection loop (:class:`~.engine.LiveRunner`), the
  UDP publisher and the stream's pictures;
- :mod:`.server`: the HTTP interface and the page (aiohttp, the ``[live]``
  extra);
- :mod:`.settings`: the settings file as JSON;
- :mod:`.command`: the command line.

The page's files (``static/``) are plain HTML, CSS and JavaScript, served
as they are.
"""
