"""The data_flow studio: a local web page to edit, run and look at one graph document.

`dataflow-studio GRAPH [--plugin FILE]... [--port N]` serves the page and its HTTP/JSON API on
127.0.0.1 (see `app.create_app`); `studio.Studio` is the one graph a server process edits.
"""
