// The official OpenAI, Ollama and Anthropic client libraries for Node.js drive `kestrune serve`
// over loopback: models listed, chat whole and streamed, generate, tools offered with tool calls
// and results in the conversation, tokens counted, and a failure surfacing as the client's own
// error type. Run by ctest with KESTRUNE_CLI, KESTRUNE_MODEL and NODE_PATH set.
"use strict";
const assert = require("node:assert/strict");
const { startServe } = require("../support/serve.cjs");
const OpenAI = require("openai");
const { Ollama } = require("ollama");
const Anthropic = require("@anthropic-ai/sdk");
const { embedMany } = require("ai");
const { createOpenAICompatible } = require("@ai-sdk/openai-compatible");
const { OpenAIEmbeddings } = require("@langchain/openai");
const { OllamaEmbeddings } = require("@langchain/ollama");

const KEY = "node-test-key";
const WEB_SEARCH = {
  type: "function",
  function: {
    name: "web_search",
    description: "Search the web",
    parameters: { type: "object", properties: { query: { type: "string" } }, required: ["query"] },
  },
};
const MODEL = process.env.KESTRUNE_MODEL;
// The name the server shows a model by: its file name without ".gguf".
const SHOWN = require("node:path").basename(MODEL, ".gguf");

// Starts the server and resolves with its address once it prints the ready line.
function startServer() {
  return startServe([MODEL, "--port", "0", "--parallel", "2", "--quiet", "--api-key", KEY], { echoLog: true });
}

async function checkOpenAi(address) {
  const client = new OpenAI({ baseURL: `${address}/v1`, apiKey: KEY });
  const models = await client.models.list();
  assert.ok(models.data.some((model) => model.id === SHOWN), JSON.stringify(models.data));

  const request = {
    model: MODEL,
    messages: [{ role: "user", content: "what is the cat doing?" }],
    max_tokens: 24,
    temperature: 0,
  };
  const whole = await client.chat.completions.create(request);
  const answer = whole.choices[0].message.content;
  assert.ok(answer.length > 0);
  assert.ok(whole.usage.prompt_tokens > 5 && whole.usage.completion_tokens > 0, whole.usage);
  assert.ok(["stop", "length"].includes(whole.choices[0].finish_reason));

  let streamed = "";
  let usage = null;
  const stream = await client.chat.completions.create(
      { ...request, stream: true, stream_options: { include_usage: true } });
  for await (const chunk of stream) {
    streamed += chunk.choices[0]?.delta?.content ?? "";
    usage = chunk.usage ?? usage;
  }
  assert.equal(streamed, answer);
  assert.equal(usage.completion_tokens, whole.usage.completion_tokens);

  // Tools offered, a call and its result sent back: the tiny model answers in words.
  const withTools = await client.chat.completions.create({
    ...request,
    tools: [WEB_SEARCH],
    tool_choice: "auto",
    messages: [
      ...request.messages,
      { role: "assistant", content: null,
        tool_calls: [{ id: "call_1", type: "function",
                       function: { name: "web_search", arguments: "{\"query\":\"cats\"}" } }] },
      { role: "tool", tool_call_id: "call_1", content: "1. Cats sleep a lot." },
    ],
  });
  assert.ok(["stop", "length", "tool_calls"].includes(withTools.choices[0].finish_reason));
  assert.equal(typeof withTools.choices[0].message.content, "string");
  await assert.rejects(
      client.chat.completions.create({ ...request, tools: [WEB_SEARCH], tool_choice: "required" }),
      (error) => error instanceof OpenAI.BadRequestError);

  const completion = await client.completions.create(
      { model: MODEL, prompt: "the cat", max_tokens: 8, temperature: 0 });
  assert.ok(completion.choices[0].text.length > 0);

  await assert.rejects(client.chat.completions.create({ ...request, model: "no-such-model" }),
                       (error) => error instanceof OpenAI.NotFoundError && error.status === 404);
  await assert.rejects(client.chat.completions.create({ ...request, max_tokens: "many" }),
                       (error) => error instanceof OpenAI.BadRequestError);
  const stranger = new OpenAI({ baseURL: `${address}/v1`, apiKey: "wrong", maxRetries: 0 });
  await assert.rejects(stranger.models.list(),
                       (error) => error instanceof OpenAI.AuthenticationError);
  // The Responses API: the same answer, whole and streamed, and a function call's output sent
  // back as an item.
  const response = await client.responses.create(
      { model: MODEL, input: request.messages[0].content, max_output_tokens: 24, temperature: 0 });
  assert.equal(response.output_text, answer);
  let deltas = "";
  let completed = null;
  for await (const event of await client.responses.create(
      { model: MODEL, input: request.messages[0].content, max_output_tokens: 24, temperature: 0,
        stream: true })) {
    if (event.type === "response.output_text.delta") deltas += event.delta;
    if (event.type === "response.completed" || event.type === "response.incomplete") {
      completed = event.response;
    }
  }
  assert.equal(deltas, answer);
  assert.equal(completed.usage.output_tokens, response.usage.output_tokens);
  const followUp = await client.responses.create({
    model: MODEL,
    max_output_tokens: 8,
    tools: [{ type: "function", name: "web_search", parameters: WEB_SEARCH.function.parameters,
              strict: false }],
    input: [
      { role: "user", content: "what is the cat doing?" },
      { type: "function_call", call_id: "call_1", name: "web_search", arguments: "{\"query\":\"cats\"}" },
      { type: "function_call_output", call_id: "call_1", output: "1. Cats sleep a lot." },
    ],
  });
  assert.equal(followUp.object, "response");
  await assert.rejects(client.responses.create({ model: MODEL, input: "hi", previous_response_id: "resp_1" }),
                       (error) => error instanceof OpenAI.BadRequestError);

  // The client asks for base64 and decodes it.
  const embedded = await client.embeddings.create({ model: MODEL, input: ["the cat", "a dog"] });
  assert.equal(embedded.data.length, 2);
  assert.ok(Math.abs(Math.hypot(...embedded.data[0].embedding) - 1) < 1e-4);
  console.log("openai: models, chat whole and streamed, tools, completions, responses, embeddings, " +
              "errors: ok");
  return { answer, embedding: embedded.data[0].embedding };
}

async function checkOllama(address, chatAnswer, embedding) {
  const client = new Ollama({ host: address, headers: { Authorization: `Bearer ${KEY}` } });
  const { version } = await client.version();
  assert.match(version, /^\d+\.\d+\.\d+$/);
  const tags = await client.list();
  const listed = tags.models.find((model) => model.name === SHOWN);
  assert.ok(listed && listed.size > 0 && listed.details.format === "gguf", JSON.stringify(tags));

  const request = {
    model: MODEL,
    messages: [{ role: "user", content: "what is the cat doing?" }],
    options: { temperature: 0, num_predict: 24 },
  };
  const whole = await client.chat({ ...request, stream: false });
  assert.equal(whole.message.content, chatAnswer);
  assert.ok(whole.done && whole.eval_count > 0 && whole.prompt_eval_count > 5);

  let streamed = "";
  let last = null;
  for await (const part of await client.chat({ ...request, stream: true })) {
    streamed += part.message.content;
    last = part;
  }
  assert.equal(streamed, chatAnswer);
  assert.ok(last.done && ["stop", "length"].includes(last.done_reason));

  const withTools = await client.chat({
    ...request,
    stream: false,
    think: false,
    tools: [WEB_SEARCH],
    messages: [
      ...request.messages,
      { role: "assistant", content: "",
        tool_calls: [{ function: { name: "web_search", arguments: { query: "cats" } } }] },
      { role: "tool", tool_name: "web_search", content: "1. Cats sleep a lot." },
    ],
  });
  assert.ok(withTools.done && typeof withTools.message.content === "string");
  assert.equal(withTools.message.thinking, undefined);

  const generated = await client.generate(
      { model: MODEL, prompt: "the cat", raw: true, options: { num_predict: 5, temperature: 0 } });
  assert.equal(generated.eval_count, 5);
  assert.ok(generated.response.length > 0);

  const shown = await client.show({ model: MODEL });
  assert.equal(shown.details.format, "gguf");
  const running = await client.ps();
  assert.ok(running.models.some((model) => model.name === SHOWN));

  await assert.rejects(client.chat({ ...request, model: "no-such-model" }),
                       (error) => error.name === "ResponseError" && error.status_code === 404 &&
                                  error.error.includes("no-such-model"));
  const { embeddings } = await client.embed({ model: MODEL, input: "the cat" });
  const agreement = embeddings[0].reduce((sum, value, i) => sum + value * embedding[i], 0);
  assert.ok(agreement > 0.99999, `the same vector as OpenAI's route: ${agreement}`);
  console.log("ollama: version, list, show, ps, chat whole and streamed, tools, generate, " +
              "embed, errors: ok");
}

async function checkAnthropic(address, chatAnswer) {
  const client = new Anthropic({ baseURL: address, apiKey: KEY, maxRetries: 0 });
  const request = {
    model: MODEL,
    max_tokens: 24,
    temperature: 0,
    messages: [{ role: "user", content: "what is the cat doing?" }],
  };
  const whole = await client.messages.create(request);
  assert.equal(whole.content[0].type, "text");
  assert.equal(whole.content[0].text, chatAnswer, "the same answer as the chat completion's");
  assert.ok(["end_turn", "max_tokens"].includes(whole.stop_reason));

  const stream = client.messages.stream(request);
  let streamed = "";
  stream.on("text", (text) => { streamed += text; });
  const final = await stream.finalMessage();
  assert.equal(streamed, chatAnswer);
  assert.deepEqual(final.content, whole.content);
  assert.equal(final.usage.output_tokens, whole.usage.output_tokens);

  const { max_tokens: _, ...counting } = request;
  const counted = await client.messages.countTokens(counting);
  assert.equal(counted.input_tokens, whole.usage.input_tokens);

  const withResult = await client.messages.create({
    ...request,
    tools: [{ name: "web_search", description: "Search the web",
              input_schema: WEB_SEARCH.function.parameters }],
    messages: [
      ...request.messages,
      { role: "assistant",
        content: [{ type: "tool_use", id: "toolu_1", name: "web_search", input: { query: "cats" } }] },
      { role: "user", content: [{ type: "tool_result", tool_use_id: "toolu_1",
                                  content: "1. Cats sleep a lot." }] },
    ],
  });
  assert.equal(withResult.type, "message");

  await assert.rejects(client.messages.create({ ...request, model: "no-such-model" }),
                       (error) => error instanceof Anthropic.NotFoundError);
  await assert.rejects(client.messages.create({ ...request, max_tokens: 0 }),
                       (error) => error instanceof Anthropic.BadRequestError);
  const stranger = new Anthropic({ baseURL: address, apiKey: "wrong", maxRetries: 0 });
  await assert.rejects(stranger.messages.create(request),
                       (error) => error instanceof Anthropic.AuthenticationError);
  console.log("anthropic: messages whole and streamed, tool results, count_tokens, errors: ok");
}

// The embedding clients of the AI SDK and LangChain, each giving the vectors OpenAI's client got.
async function checkEmbeddingClients(address, embedding) {
  const same = (vector, what) => {
    const agreement = vector.reduce((sum, value, i) => sum + value * embedding[i], 0);
    assert.ok(agreement > 0.99999, `${what}: ${agreement}`);
  };
  const provider = createOpenAICompatible({ name: "kestrune", baseURL: `${address}/v1`, apiKey: KEY });
  const { embeddings } = await embedMany(
      { model: provider.textEmbeddingModel(MODEL), values: ["the cat", "a dog"] });
  assert.equal(embeddings.length, 2);
  same(embeddings[0], "the AI SDK's embedMany");
  const openai = new OpenAIEmbeddings(
      { model: MODEL, apiKey: KEY, configuration: { baseURL: `${address}/v1` } });
  same((await openai.embedDocuments(["the cat", "a dog"]))[0], "LangChain's OpenAIEmbeddings");
  const ollama = new OllamaEmbeddings(
      { model: MODEL, baseUrl: address, headers: { Authorization: `Bearer ${KEY}` } });
  same(await ollama.embedQuery("the cat"), "LangChain's OllamaEmbeddings");
  console.log("embeddings: AI SDK embedMany, LangChain OpenAIEmbeddings and OllamaEmbeddings: ok");
}

async function main() {
  const { child, address } = await startServer();
  try {
    const { answer, embedding } = await checkOpenAi(address);
    await checkOllama(address, answer, embedding);
    await checkAnthropic(address, answer);
    await checkEmbeddingClients(address, embedding);
  } finally {
    const exited = new Promise((resolve) => child.once("exit", (code) => resolve(code)));
    child.kill("SIGTERM");
    assert.equal(await exited, 0);
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
