// The server's public OpenAI routes: the model list and streamed chat completions (server-sent
// events), with failures turned into sentences a person can act on.

const KEY_STORE = "kestrune.apiKey";

export class ApiError extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

export function apiKey() {
  return sessionStorage.getItem(KEY_STORE) || "";
}

export function setApiKey(key) {
  sessionStorage.setItem(KEY_STORE, key);
}

function headers() {
  const result = { "Content-Type": "application/json" };
  const key = apiKey();
  if (key) {
    result.Authorization = `Bearer ${key}`;
  }
  return result;
}

// What the server said, in words: its own message where it gave one, with what it means for
// the person at the page.
async function failure(response) {
  let message = "";
  try {
    const body = await response.json();
    message = body?.error?.message || body?.error || "";
  } catch {
    // A body that is not JSON: the status says enough.
  }
  const meaning = {
    400: "The server refused the request",
    401: "The server needs a valid API key",
    403: "The server refused this page",
    404: "Not found",
    413: "The conversation is too large to send",
    415: "The server refused the request's format",
    429: "The server is busy (its queue is full); try again in a moment",
    500: "The server failed",
    503: "The server is not ready",
  }[response.status] || `The server answered ${response.status}`;
  return new ApiError(message ? `${meaning}: ${message}` : meaning, response.status);
}

async function send(path, init) {
  let response;
  try {
    response = await fetch(path, { ...init, headers: headers() });
  } catch (error) {
    if (error.name === "AbortError") {
      throw error;
    }
    throw new ApiError(`Cannot reach the server (${error.message})`, 0);
  }
  if (!response.ok) {
    throw await failure(response);
  }
  return response;
}

// The served models: [{id, ...}] as /v1/models lists them.
export async function listModels() {
  const response = await send("/v1/models", { method: "GET" });
  const body = await response.json();
  return Array.isArray(body.data) ? body.data : [];
}

// Each server-sent event's data, parsed, until [DONE].
async function* events(body) {
  const reader = body.getReader();
  const decoder = new TextDecoder();
  let buffer = "";
  for (;;) {
    const { value, done } = await reader.read();
    if (done) {
      break;
    }
    buffer += decoder.decode(value, { stream: true });
    let end;
    while ((end = buffer.search(/\r?\n\r?\n/)) >= 0) {
      const block = buffer.slice(0, end);
      buffer = buffer.slice(end).replace(/^\r?\n\r?\n/, "");
      const data = block.split(/\r?\n/).filter((line) => line.startsWith("data:"))
        .map((line) => line.slice(5).trimStart()).join("\n");
      if (data === "[DONE]") {
        return;
      }
      if (data) {
        yield JSON.parse(data);
      }
    }
  }
}

// Streams one answer. `on` receives {content}, {reasoning}, {toolCalls} pieces as they come;
// resolves with {usage, timings, finishReason} (each absent where the server sent none).
// Aborting `signal` cancels the request, which the server sees as the client gone.
export async function streamChat(request, signal, on) {
  const response = await send("/v1/chat/completions", {
    method: "POST",
    body: JSON.stringify({ ...request, stream: true, stream_options: { include_usage: true } }),
    signal,
  });
  const result = { usage: null, timings: null, finishReason: null };
  for await (const chunk of events(response.body)) {
    if (chunk.error) {
      throw new ApiError(`The server failed mid-answer: ${chunk.error.message || chunk.error}`, 0);
    }
    result.usage = chunk.usage || result.usage;
    result.timings = chunk.timings || result.timings;
    for (const choice of chunk.choices || []) {
      const delta = choice.delta || {};
      const reasoning = delta.reasoning_content || delta.reasoning;
      if (reasoning) {
        on({ reasoning });
      }
      if (delta.content) {
        on({ content: delta.content });
      }
      if (delta.tool_calls) {
        on({ toolCalls: delta.tool_calls });
      }
      result.finishReason = choice.finish_reason || result.finishReason;
    }
  }
  return result;
}
