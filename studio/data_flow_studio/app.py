"""The studio's HTTP/JSON API and static page, as a FastAPI application.

Safe by default: the server listens on 127.0.0.1 only (the launcher's job), and this
application refuses any request whose Host is not the studio's own address or whose Origin, when
the browser sends one, is not the studio's page, so neither a page on another site nor a
DNS-rebound name can drive the studio from the user's browser. Bad requests get a 4xx answer
with `{"message": ...}`; refused edits and documents get 422 with every problem as
`{"pointer", "message"}`, the pointers as a document load or the edit's request body has them.
"""

import json
import pathlib

import data_flow as df
from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, Response, StreamingResponse
from fastapi.staticfiles import StaticFiles
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException

from .studio import RequestError


def _problems_response(problems, prefix=""):
    """422 with every (pointer, message) problem, the pointers under `prefix`."""
    problems = [{"pointer": prefix + pointer, "message": message} for pointer, message in problems]
    text = "\n".join(f"{p['pointer'] or '(document)'}: {p['message']}" for p in problems)
    return JSONResponse({"message": text, "problems": problems}, status_code=422)


class OwnOriginOnly:
    """ASGI middleware: 403 unless Host names the studio and Origin (if any) is its page."""

    def __init__(self, app, port):
        self.app = app
        self.hosts = {f"127.0.0.1:{port}", f"localhost:{port}"}
        self.origins = {f"http://{host}" for host in self.hosts}

    async def __call__(self, scope, receive, send):
        if scope["type"] in ("http", "websocket"):
            headers = {k.decode("latin-1"): v.decode("latin-1") for k, v in scope["headers"]}
            host, origin = headers.get("host"), headers.get("origin")
            message = None
            if host not in self.hosts:
                message = f"refused: the studio answers only to {' or '.join(sorted(self.hosts))}"
            elif origin is not None and origin not in self.origins:
                message = f"refused: requests from {origin} may not drive the studio"
            if message:
                response = JSONResponse({"message": message}, status_code=403)
                return await response(scope, receive, send)
        return await self.app(scope, receive, send)


async def _body(request, *keys):
    """The request body as a JSON object that has `keys`; RequestError 400 otherwise."""
    try:
        body = json.loads(await request.body())
    except ValueError as e:
        raise RequestError(400, f"the request body is not JSON: {e}") from None
    if not isinstance(body, dict):
        raise RequestError(400, "the request body must be a JSON object")
    missing = [k for k in keys if k not in body]
    if missing:
        raise RequestError(400, "the request body lacks " + ", ".join(f'"{k}"' for k in missing))
    return body


def _string(body, key):
    if not isinstance(body[key], str):
        raise RequestError(400, f'"{key}" must be a string')
    return body[key]


def create_app(studio, port, web_dir=None):
    """The application serving `studio` at http://127.0.0.1:`port`, with the page's static
    files from `web_dir` when given and built."""
    app = FastAPI(title="data_flow studio", docs_url=None, redoc_url=None, openapi_url=None)

    @app.exception_handler(RequestError)
    async def request_error(_, e):
        return JSONResponse({"message": e.message}, status_code=e.status)

    @app.exception_handler(df.DocumentError)
    async def document_error(_, e):
        return _problems_response(e.problems)

    @app.exception_handler(df.Error)
    async def library_error(_, e):
        return JSONResponse({"message": str(e)}, status_code=422)

    @app.exception_handler(HTTPException)
    async def http_error(_, e):
        return JSONResponse({"message": str(e.detail)}, status_code=e.status_code)

    @app.exception_handler(RequestValidationError)
    async def validation_error(_, e):
        return JSONResponse({"message": str(e)}, status_code=400)

    @app.get("/api/catalogue")
    def catalogue():
        return studio.catalogue()

    @app.get("/api/graph")
    def get_graph():
        return studio.document()

    @app.put("/api/graph")
    async def put_graph(request: Request):
        text = (await request.body()).decode("utf-8", errors="replace")
        await run_in_threadpool(studio.replace, text)
        return {"ok": True}

    async def edit(request, keys, apply):
        """Applies the request body, which must have `keys`, off the event loop."""
        body = await _body(request, *keys)
        await run_in_threadpool(apply, body)
        return {"ok": True}

    @app.put("/api/meta")
    async def put_meta(request: Request):
        return await edit(request, (), studio.set_meta)

    @app.post("/api/save")
    def save():
        return {"ok": True, "path": studio.save()}

    @app.post("/api/nodes", status_code=201)
    async def add_node(request: Request):
        return await edit(request, ("kind", "id"),
                          lambda body: studio.add_node(body["kind"], _string(body, "id")))

    @app.delete("/api/nodes/{node_id}")
    def remove_node(node_id: str):
        studio.remove_node(node_id)
        return {"ok": True}

    @app.post("/api/links", status_code=201)
    async def connect(request: Request):
        return await edit(request, ("from", "to"),
                          lambda body: studio.connect(_string(body, "from"), _string(body, "to")))

    @app.delete("/api/links")
    async def disconnect(request: Request):
        return await edit(request, ("to",), lambda body: studio.disconnect(_string(body, "to")))

    @app.put("/api/nodes/{node_id}/parameters/{name}")
    async def set_parameter(node_id: str, name: str, request: Request):
        try:
            return await edit(request, ("value",),
                              lambda body: studio.set_parameter(node_id, name, body["value"]))
        except df.DocumentError as e:  # its pointers point into the value
            return _problems_response(e.problems, "/value")

    @app.put("/api/sink")
    async def set_sink(request: Request):
        return await edit(request, ("id",), lambda body: studio.set_sink(_string(body, "id")))

    @app.post("/api/run")
    def run():
        return studio.run()

    @app.get("/api/run")
    def last_run():
        return studio.last_run()

    @app.post("/api/cancel")
    def cancel():
        return {"ok": True, "cancelled": studio.cancel()}

    @app.get("/api/nodes/{node_id}/outputs/{name}")
    def output(node_id: str, name: str):
        return studio.output(node_id, name)

    @app.get("/api/nodes/{node_id}/outputs/{name}/preview.png")
    def output_preview(node_id: str, name: str):
        return Response(studio.preview_png(node_id, name), media_type="image/png",
                        headers={"Cache-Control": "no-store"})

    @app.get("/api/events")
    def events():
        return StreamingResponse(studio.events.stream(), media_type="text/event-stream",
                                 headers={"Cache-Control": "no-store"})

    @app.api_route("/api/{rest:path}", methods=["GET", "POST", "PUT", "DELETE"])
    def unknown(rest: str):
        raise RequestError(404, f'no route "/api/{rest}"')

    if web_dir and (pathlib.Path(web_dir) / "index.html").is_file():
        app.mount("/", StaticFiles(directory=web_dir, html=True), name="web")
    else:
        @app.get("/")
        def not_built():
            return Response("The studio's page is not built: run `make studio`.\n",
                            media_type="text/plain", status_code=503)

    app.add_middleware(OwnOriginOnly, port=port)
    return app
