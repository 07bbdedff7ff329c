// Structured answers through the official clients, checked with a JSON-schema validator (ajv):
// on a random-weight model with a real vocabulary (Phi-3's), every answer sampled at
// temperature 1 under a schema of nested objects, arrays, enums, bounded integers and required
// fields validates, whole and streamed, through OpenAI's response_format and Ollama's format;
// a schema that cannot be kept and a control out of range come back as the clients' own 400s.
// Run by ctest with KESTRUNE_CLI, KESTRUNE_MODEL and NODE_PATH set.
"use strict";
const assert = require("node:assert/strict");
const { startServe } = require("../support/serve.cjs");
const OpenAI = require("openai");
const { Ollama } = require("ollama");
const Ajv = require("ajv");

const MODEL = process.env.KESTRUNE_MODEL;
const ANSWERS = 20;

// Short strings and few items, so that random weights finish every answer.
const PERSON = {
  type: "object",
  properties: {
    name: { type: "string", minLength: 1, maxLength: 12 },
    age: { type: "integer", minimum: 0, maximum: 120 },
    role: { enum: ["admin", "user", "guest"] },
    address: {
      type: "object",
      properties: {
        city: { type: "string", maxLength: 10 },
        zip: { type: "integer", minimum: 1000, maximum: 99999 },
      },
      required: ["city", "zip"],
    },
    tags: { type: "array", items: { type: "string", maxLength: 6 }, maxItems: 3 },
  },
  required: ["name", "age", "role", "address"],
};
const validate = new Ajv({ allErrors: true }).compile(PERSON);

function assertValid(text, where) {
  let value;
  try {
    value = JSON.parse(text);
  } catch (error) {
    assert.fail(`${where}: not JSON (${error.message}): ${text}`);
  }
  assert.ok(validate(value), `${where}: ${JSON.stringify(validate.errors)} in ${text}`);
}

// Starts the server and resolves with its address once it prints the ready line.
function startServer() {
  return startServe([MODEL, "--port", "0", "--parallel", "4", "--threads", "1", "--quiet"], { echoLog: true });
}

async function checkOpenAi(address) {
  const client = new OpenAI({ baseURL: `${address}/v1`, apiKey: "none", maxRetries: 0 });
  const request = (seed) => ({
    model: MODEL,
    messages: [{ role: "user", content: "Describe a person." }],
    temperature: 1,
    seed,
    max_tokens: 400,
    response_format: { type: "json_schema",
                       json_schema: { name: "person", schema: PERSON, strict: true } },
  });
  const answers = await Promise.all(
      Array.from({ length: ANSWERS }, (_, i) => client.chat.completions.create(request(i + 1))));
  const texts = new Set();
  answers.forEach((answer, i) => {
    assert.equal(answer.choices[0].finish_reason, "stop", `seed ${i + 1}`);
    assertValid(answer.choices[0].message.content, `seed ${i + 1}`);
    texts.add(answer.choices[0].message.content);
  });
  // Sampled, not one answer repeated.
  assert.ok(texts.size > ANSWERS / 2, `${texts.size} different answers`);

  let streamed = "";
  for await (const chunk of await client.chat.completions.create({ ...request(99), stream: true })) {
    streamed += chunk.choices[0]?.delta?.content ?? "";
  }
  assertValid(streamed, "streamed");

  const completion = await client.completions.create({
    model: MODEL, prompt: "A person:", temperature: 1, seed: 5, max_tokens: 400,
    response_format: { type: "json_schema", json_schema: { name: "person", schema: PERSON } },
  });
  assertValid(completion.choices[0].text, "completion");

  await assert.rejects(
      client.chat.completions.create({
        ...request(1),
        response_format: { type: "json_schema", json_schema: {
          name: "tags", schema: { type: "object", properties: {
            tags: { type: "array", items: { type: "string" }, uniqueItems: true } } } } },
      }),
      (error) => error instanceof OpenAI.BadRequestError &&
                 /#\/properties\/tags.*uniqueItems/.test(error.message));
  await assert.rejects(client.chat.completions.create({ ...request(1), min_p: 2 }),
                       (error) => error instanceof OpenAI.BadRequestError &&
                                  /min_p/.test(error.message));
  console.log(`openai: ${ANSWERS} sampled answers, a streamed one and a completion valid: ok`);
}

async function checkOllama(address) {
  const client = new Ollama({ host: address });
  for (let seed = 1; seed <= 5; ++seed) {
    const answer = await client.chat({
      model: MODEL,
      messages: [{ role: "user", content: "Describe a person." }],
      format: PERSON,
      options: { temperature: 1, seed, num_predict: 400 },
    });
    assertValid(answer.message.content, `ollama seed ${seed}`);
  }
  const generated = await client.generate({ model: MODEL, prompt: "A person:", format: PERSON,
                                            options: { temperature: 1, seed: 3 } });
  assertValid(generated.response, "ollama generate");
  await assert.rejects(
      client.generate({ model: MODEL, prompt: "x",
                        format: { type: "object", properties: { n: { type: "number", minimum: 0 } } } }),
      (error) => error.status_code === 400 && /#\/properties\/n.*minimum/.test(error.message));
  console.log("ollama: chat and generate under format valid, a schema not kept refused: ok");
}

(async () => {
  const { child, address } = await startServer();
  try {
    await checkOpenAi(address);
    await checkOllama(address);
  } finally {
    child.kill("SIGTERM");
  }
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
