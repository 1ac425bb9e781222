"""`dataflow-studio GRAPH [--plugin FILE]... [--port N]`: loads the plugins and the graph, then
serves the studio on http://127.0.0.1:N until interrupted."""

import argparse
import os
import pathlib
import sys


def _plugins(given):
    """The plugin files: those given, then every .so in the DATA_FLOW_PLUGIN_PATH folders."""
    found = list(given)
    for folder in filter(None, os.environ.get("DATA_FLOW_PLUGIN_PATH", "").split(":")):
        found += sorted(str(p) for p in pathlib.Path(folder).glob("*.so"))
    return found


def main(argv=None, web_dir=None):
    parser = argparse.ArgumentParser(
        prog="dataflow-studio", description="Edit and run a data_flow graph in the browser.")
    parser.add_argument("graph", help="the graph document to open (and to save to)")
    parser.add_argument("--plugin", action="append", default=[], metavar="FILE",
                        help="a plugin module to load (repeatable)")
    parser.add_argument("--port", type=int, default=8765, help="the port on 127.0.0.1 (8765)")
    args = parser.parse_args(argv)

    import data_flow as df
    import uvicorn

    from .app import create_app
    from .studio import Studio

    try:
        for plugin in _plugins(args.plugin):
            df.load_plugin(plugin)
        studio = Studio.load(args.graph)
    except df.DocumentError as e:
        for pointer, message in e.problems:
            print(f"{args.graph}: {pointer or '(document)'}: {message}", file=sys.stderr)
        return 2
    except (OSError, df.Error) as e:
        print(f"dataflow-studio: {e}", file=sys.stderr)
        return 2

    app = create_app(studio, args.port, web_dir)
    config = uvicorn.Config(app, host="127.0.0.1", port=args.port, log_level="warning")

    class Server(uvicorn.Server):
        def handle_exit(self, sig, frame):
            studio.events.close()  # ends the event streams, which would hold the shutdown
            super().handle_exit(sig, frame)

    print(f"data_flow studio on http://127.0.0.1:{args.port}/ (Ctrl-C stops it)", flush=True)
    Server(config).run()
    return 0
