"""The Business Layer stand-in over real connections: files, who may connect, and the relay.

A test client plays the kernel (connecting to /ws/kernel/<id> as the kernel
does); another plays the page.
"""

import asyncio
import http.client
import json

import pytest

from standin_peers import closed_with, connect, kernel_url, page_url
from tarvex_master.standin.business_layer import BusinessLayer
from tarvex_master.standin.chunking import CHUNK_SIZE


@pytest.fixture
async def layer(tmp_path):
    monaco = tmp_path / "monaco"
    (monaco / "vs").mkdir(parents=True)
    (monaco / "vs" / "loader.js").write_text("// loader\n")
    (tmp_path / "secret.txt").write_text("not for the web\n")
    async with BusinessLayer(port=0, launch_kernels=False, monaco_root=str(monaco)) as running:
        yield running


async def http_get(layer, path, host=None):
    def fetch():
        connection = http.client.HTTPConnection("127.0.0.1", layer.port, timeout=10)
        connection.request("GET", path, headers={"Host": host or f"127.0.0.1:{layer.port}"})
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    return await asyncio.get_running_loop().run_in_executor(None, fetch)


async def kernel_and_page(layer, workbook="demo-workbook"):
    kernel = await connect(kernel_url(layer, workbook))
    page = await connect(page_url(layer, workbook=workbook))
    await page.wait_type("standin_state")
    return kernel, page


# -- files --------------------------------------------------------------------------

@pytest.mark.parametrize("path, status, content_type", [
    ("/", 200, "text/html; charset=utf-8"),
    ("/?token=abc", 200, "text/html; charset=utf-8"),
    ("/app.js", 200, "text/javascript; charset=utf-8"),
    ("/style.css", 200, "text/css; charset=utf-8"),
    ("/monaco/vs/loader.js", 200, "text/javascript; charset=utf-8"),
    ("/nothing.js", 404, None),
    ("/monaco/../secret.txt", 404, None),
    ("/monaco/vs/%2e%2e/%2e%2e/secret.txt", 404, None),
    ("/..%2fsecret.txt", 404, None),
])
async def test_the_page_and_its_files_are_served_and_nothing_else(layer, path, status, content_type):
    code, headers, body = await http_get(layer, path)
    assert code == status
    if content_type:
        assert headers["Content-Type"] == content_type
        assert int(headers["Content-Length"]) == len(body)
        assert headers["Referrer-Policy"] == "no-referrer"
    assert b"not for the web" not in body


async def test_requests_naming_a_foreign_host_are_refused(layer):
    code, _, body = await http_get(layer, "/", host="evil.example:80")
    assert code == 403 and b"printed" in body
    assert (await http_get(layer, "/", host=f"localhost:{layer.port}"))[0] == 200


# -- who may connect ---------------------------------------------------------------

@pytest.mark.parametrize("token, origin, reason", [
    (None, None, None),
    (None, "http://127.0.0.1:{port}", None),
    (None, "http://localhost:{port}", None),
    ("", None, "missing or wrong token: open the URL the stand-in printed"),
    ("wrong", "http://127.0.0.1:{port}", "missing or wrong token: open the URL the stand-in printed"),
    (None, "http://evil.example", "refused: connections from http://evil.example are not allowed"),
    (None, "http://127.0.0.1:1", "refused: connections from http://127.0.0.1:1 are not allowed"),
    (None, "null", "refused: connections from null are not allowed"),
])
async def test_page_connections_need_the_token_and_their_own_origin(layer, token, origin, reason):
    url = page_url(layer, token=token)
    headers = {"Origin": origin.format(port=layer.port)} if origin else None
    if reason is None:
        page = await connect(url, additional_headers=headers)
        assert (await page.wait_type("standin_state"))["workbook_id"] == "demo-workbook"
        await page.close()
    else:
        assert await closed_with(url, additional_headers=headers) == (1008, reason)


async def test_the_kernel_endpoint_refuses_browsers(layer):
    headers = {"Origin": f"http://127.0.0.1:{layer.port}"}
    assert await closed_with(kernel_url(layer), additional_headers=headers) == (
        1008, "refused: the kernel endpoint is not for browsers")


async def test_a_second_kernel_for_the_same_workbook_is_refused(layer):
    kernel, page = await kernel_and_page(layer)
    assert await closed_with(kernel_url(layer)) == (1008, "a kernel is already connected for this workbook")
    await kernel.close()


@pytest.mark.parametrize("workbook", ["a b", "x" * 101])
async def test_workbook_ids_are_checked(layer, workbook):
    code, reason = await closed_with(page_url(layer, workbook=workbook.replace(" ", "%20")))
    assert code == 1008 and "workbook id" in reason


# -- the relay --------------------------------------------------------------------------

async def test_page_requests_reach_the_kernel_and_its_answers_every_page(layer):
    kernel, page = await kernel_and_page(layer)
    other = await connect(page_url(layer))
    await other.wait_type("standin_state")
    await page.send({"type": "execution_request", "code": "1 + 1", "request_id": "r1"})
    request = await kernel.wait_type("execution_request")
    assert request == {"type": "execution_request", "code": "1 + 1", "request_id": "r1",
                       "workbook_id": "demo-workbook", "source": "ide"}
    await kernel.send({"type": "stdout", "content": "hi", "request_id": "r1", "workbook_id": "demo-workbook",
                       "source": "ide"})
    for peer in (page, other):
        assert (await peer.wait_type("stdout"))["content"] == "hi"
    await kernel.close()


async def test_a_new_kernel_gets_the_modules_and_is_asked_for_the_registry(layer):
    page = await connect(page_url(layer))
    await page.wait_type("standin_state")
    await page.send({"type": "update_module", "module_name": "tools", "code": "X = 1\n"})
    kernel = await connect(kernel_url(layer))
    update = await kernel.wait_type("update_module")
    assert (update["module_name"], update["code"]) == ("tools", "X = 1\n")
    await kernel.wait_type("get_object_registry")
    assert (await page.wait_type("kernel_status", status="connected"))
    await kernel.close()
    assert (await page.wait_type("kernel_status", status="disconnected"))


async def test_the_kernels_workbook_requests_are_answered(layer):
    kernel, page = await kernel_and_page(layer)
    await kernel.send({"type": "sys_request", "payload": {"method": "GET", "name": "workbook", "caller": 0,
                                                          "requestId": "a" * 32, "kind": "request"}})
    response = await kernel.wait_type("sys_response")
    assert response["payload"]["requestId"] == "a" * 32
    assert response["payload"]["ok"] is True and response["payload"]["result"]["type"] == "Workbook"
    assert page.of_type("sys_request") == []
    await kernel.close()


async def test_long_messages_are_chunked_both_ways(layer):
    kernel, page = await kernel_and_page(layer)
    code = "# " + "x" * (3 * CHUNK_SIZE) + "\n"
    await page.send({"type": "update_module", "module_name": "big", "code": code})
    await kernel.wait_for(lambda m: m.get("type") == "chunk" and m["chunk_index"] == m["total_chunks"] - 1)
    chunks = kernel.of_type("chunk")
    assert len(chunks) == 4
    rebuilt = json.loads("".join(c["data"] for c in sorted(chunks, key=lambda c: c["chunk_index"])))
    assert (rebuilt["type"], rebuilt["module_name"], rebuilt["code"]) == ("update_module", "big", code)
    assert {c["original_type"] for c in chunks} == {"update_module"}

    text = json.dumps({"type": "stdout", "content": "y" * (2 * CHUNK_SIZE), "request_id": "r9"})
    pieces = [text[i:i + CHUNK_SIZE] for i in range(0, len(text), CHUNK_SIZE)]
    for index in reversed(range(len(pieces))):
        await kernel.send({"type": "chunk", "chunk_id": "k1", "chunk_index": index, "total_chunks": len(pieces),
                           "data": pieces[index], "original_type": "stdout", "request_id": "r9"})
    assert len((await page.wait_type("stdout", request_id="r9"))["content"]) == 2 * CHUNK_SIZE
    await kernel.close()


async def test_batches_are_unpacked_and_bad_frames_dropped(layer):
    kernel, page = await kernel_and_page(layer)
    await kernel.ws.send("not json")
    await kernel.ws.send("[1, 2]")
    await kernel.send({"type": "chunk", "chunk_id": "z", "chunk_index": 5, "total_chunks": 2, "data": "x"})
    await kernel.send({"type": "batch", "messages": [{"type": "stdout", "content": "a"}, 7,
                                                     {"type": "stdout", "content": "b"}]})
    await page.wait_for(lambda m: m.get("content") == "b")
    assert [m["content"] for m in page.of_type("stdout")] == ["a", "b"]
    await kernel.close()


async def test_the_kernels_request_for_a_module_is_answered_from_the_saved_ones(layer):
    kernel, page = await kernel_and_page(layer)
    await page.send({"type": "update_module", "module_name": "m", "code": "def f(): pass\n"})
    await kernel.wait_type("update_module", module_name="m")
    start = len(kernel.received)
    await kernel.send({"type": "request_module_sync", "module_name": "m", "workbook_id": "demo-workbook"})
    resent = await kernel.wait_for(lambda m: m.get("type") == "update_module", start=start)
    assert resent["code"] == "def f(): pass\n"
    await kernel.send({"type": "request_module_sync", "module_name": "absent", "workbook_id": "demo-workbook"})
    log = await page.wait_type("addin_log")
    assert "'absent'" in log["text"] and log["level"] == "warning"
    await kernel.close()


async def test_message_boxes_and_event_switches_reach_the_page(layer):
    kernel, page = await kernel_and_page(layer)
    box = {"type": "show_message_box", "message": "Done", "title": "Tarvex", "msg_type": "Info",
           "workbook_id": "demo-workbook"}
    await kernel.send(box)
    assert await page.wait_type("show_message_box") == box
    await kernel.send({"type": "set_enable_events", "enable": False, "workbook_id": "demo-workbook"})
    assert await page.wait_type("events_enabled") == {"type": "events_enabled", "enabled": False}
    assert layer.sessions["demo-workbook"].addin.workbook.events_enabled is False
    await kernel.close()


@pytest.mark.parametrize("message, error", [
    ({"type": "update_module", "module_name": "1bad", "code": ""},
     "'1bad' is not a module name: use letters, digits and _ (not first)."),
    ({"type": "update_module", "module_name": "ok", "code": None}, "A module's code is text."),
    ({"type": "delete_module", "module_name": "never"}, "There is no module 'never'."),
    ({"type": "set_cell", "sheet": "Nope", "address": "A1", "text": "1"}, "The worksheet 'Nope' does not exist."),
    ({"type": "set_cell", "sheet": "Sheet1", "address": "A0", "text": "1"}, "'A0' is outside the sheet"),
    ({"type": "sys_response", "payload": {}}, "Unknown request type 'sys_response'."),
    ({"type": "execution_request", "code": "1", "request_id": "q"}, "The kernel is not connected."),
    ({"no": "type"}, "Every message needs a \"type\"."),
])
async def test_bad_page_requests_get_an_error_and_change_nothing(layer, message, error):
    page = await connect(page_url(layer))
    await page.wait_type("standin_state")
    await page.send(message)
    reply = await page.wait_type("standin_error")
    assert reply["message"] == error
    assert reply["request_id"] == message.get("request_id")
    assert layer.sessions["demo-workbook"].modules == {}
    await page.close()


async def test_closing_sends_shutdown_to_the_kernel_and_closes_pages(tmp_path):
    layer = await BusinessLayer(port=0, launch_kernels=False, monaco_root=str(tmp_path)).start()
    kernel, page = await kernel_and_page(layer)
    await layer.close()
    assert kernel.of_type("shutdown") == [{"type": "shutdown"}]
    await asyncio.wait_for(page.ws.wait_closed(), 5)
    assert page.ws.close_code == 1001
