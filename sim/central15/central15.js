'use strict';
// An OCPP 1.5 central system for the station's tests: the SOAP 1.2 service of
// the official central-system WSDL (npm soap), which checks every request it
// gets against that WSDL and WS-Addressing 1.0, answers from a script and
// logs each request and answer as one JSON line.
//
//   node central15.js [--host 127.0.0.1] [--port 0] [--path /ocpp15]
//       [--tls CERT KEY] [--wsdl FILE] [--script FILE] [--log FILE]
//       [--heartbeat SECONDS] [--identity CHARGE_BOX_ID]
//
// The script holds, per operation, the answers to give in turn; once they
// are used up the defaults follow. An answer is an object whose fields
// replace those of the default answer (null removes a field), or
// {"fault": "reason"} for a SOAP fault, or {"silent": true} to drop the
// connection without an answer:
//   {"BootNotification": [{"status": "Rejected"}],
//    "Authorize": [{"idTagInfo": {"status": "Blocked", "parentIdTag": "P1"}}, {"silent": true}],
//    "StopTransaction": [{"idTagInfo": null}]}
//
// A request that breaks the WSDL or the addressing rules is logged with its
// problems ("event": "invalid") and answered with a Sender fault.
const fs = require('fs');
const http = require('http');
const https = require('https');
const path = require('path');
const soap = require('soap');
const { parseXml, readSchema, checkElement, toObject } = require('./schema');

const SOAP12 = 'http://www.w3.org/2003/05/soap-envelope';
const WSA = 'http://www.w3.org/2005/08/addressing';

function parseArgs(argv) {
    const o = {
        host: '127.0.0.1', port: 0, path: '/ocpp15', tls: null, script: null, log: null, heartbeat: 60, identity: null,
        wsdl: path.join(__dirname, '../../ocpps/ocpp_centralsystemservice_1.5_final.wsdl'),
    };
    for (let i = 2; i < argv.length; ++i) {
        const a = argv[i];
        if (a === '--tls') o.tls = { cert: argv[++i], key: argv[++i] };
        else if (a === '--port' || a === '--heartbeat') o[a.slice(2)] = Number(argv[++i]);
        else if (['--host', '--path', '--script', '--log', '--wsdl', '--identity'].includes(a)) o[a.slice(2)] = argv[++i];
        else throw new Error('unknown option ' + a);
    }
    return o;
}

const opts = parseArgs(process.argv);
const started = Date.now();
// Each line is written before the request is answered, so a reader that has
// the answer finds the line.
const logFd = opts.log ? fs.openSync(opts.log, 'a') : 1;
function log(entry) {
    fs.writeSync(logFd, JSON.stringify({ t: Date.now() - started, ...entry }) + '\n');
}

const wsdlText = fs.readFileSync(opts.wsdl, 'utf8');
const schema = readSchema(wsdlText);
const script = opts.script ? JSON.parse(fs.readFileSync(opts.script, 'utf8')) : {};
const seenMessageIds = new Set();
let nextTransactionId = 1;

// The default answer of each operation, fields in the schema's order.
function defaultAnswer(action) {
    const now = new Date().toISOString().replace(/\.\d+Z$/, 'Z');
    const accepted = { status: 'Accepted' };
    switch (action) {
    case 'BootNotification': return { status: 'Accepted', currentTime: now, heartbeatInterval: opts.heartbeat };
    case 'Heartbeat': return { currentTime: now };
    case 'Authorize': return { idTagInfo: accepted };
    case 'StartTransaction': return { transactionId: nextTransactionId++, idTagInfo: accepted };
    case 'StopTransaction': return { idTagInfo: accepted };
    case 'DataTransfer': return { status: 'UnknownVendorId' };
    default: return {};
    }
}

function scriptedAnswer(action) {
    const queue = script[action];
    const step = Array.isArray(queue) && queue.length ? queue.shift() : {};
    if (step.fault || step.silent) return step;
    const answer = defaultAnswer(action);
    for (const [k, v] of Object.entries(step)) {
        if (v === null) delete answer[k];
        else answer[k] = v;
    }
    return answer;
}

// Every problem of one request: the envelope, the addressing header, the
// chargeBoxIdentity and the body against the WSDL.
function checkRequest(action, xml, req) {
    const problems = [];
    const contentType = req.headers['content-type'] || '';
    if (!contentType.startsWith('application/soap+xml')) problems.push(`Content-Type "${contentType}" is not SOAP 1.2`);
    const soapAction = (req.headers.soapaction || '').replace(/^"|"$/g, '');
    const typeAction = (/action="([^"]*)"/.exec(contentType) || [])[1];
    if (typeAction !== undefined && typeAction !== '/' + action) problems.push(`Content-Type action "${typeAction}"`);
    if (soapAction !== '' && soapAction !== '/' + action) problems.push(`SOAPAction "${soapAction}"`);

    let envelope;
    try {
        envelope = parseXml(xml);
    } catch (e) {
        return { problems: [...problems, e.message] };
    }
    if (envelope.uri !== SOAP12 || envelope.local !== 'Envelope') return { problems: [...problems, `root {${envelope.uri}}${envelope.local} is not a SOAP 1.2 envelope`] };
    const part = (local) => envelope.children.filter((c) => c.uri === SOAP12 && c.local === local);
    const [header] = part('Header');
    const [body] = part('Body');
    if (envelope.children.length !== (header ? 2 : 1) || !body) problems.push('the envelope is not Header? then Body');
    const fields = {};
    for (const h of header ? header.children : []) {
        if (h.uri === WSA) fields[h.local] = h.local === 'From' || h.local === 'ReplyTo' ? toObject(h) : h.text;
        else if (h.uri === schema.tns && h.local === 'chargeBoxIdentity') fields.chargeBoxIdentity = h.text;
        else problems.push(`header {${h.uri}}${h.local} is not expected`);
        if (h.uri === WSA || h.local === 'chargeBoxIdentity') {
            if (fields[h.local + '#seen']) problems.push(`header ${h.local} twice`);
            fields[h.local + '#seen'] = true;
        }
    }
    for (const k of Object.keys(fields)) if (k.endsWith('#seen')) delete fields[k];
    if (!fields.chargeBoxIdentity) problems.push('chargeBoxIdentity missing or empty');
    else if (opts.identity !== null && fields.chargeBoxIdentity !== opts.identity) problems.push(`chargeBoxIdentity "${fields.chargeBoxIdentity}"`);
    if (!/^urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/i.test(fields.MessageID || '')) problems.push(`MessageID "${fields.MessageID}" is not a UUID URN`);
    else if (seenMessageIds.has(fields.MessageID.toLowerCase())) problems.push(`MessageID ${fields.MessageID} used before`);
    else seenMessageIds.add(fields.MessageID.toLowerCase());
    const scheme = opts.tls ? 'https' : 'http';
    const reached = `${scheme}://${req.headers.host}${req.url}`;
    if (fields.To !== reached) problems.push(`To "${fields.To}" is not the address reached, ${reached}`);
    if (fields.Action !== '/' + action) problems.push(`Action "${fields.Action}"`);
    const from = fields.From && fields.From.Address;
    const fromPattern = new RegExp(`^${scheme}://\\d{1,3}(\\.\\d{1,3}){3}:8080/ChargeBox/OCPP15$`);
    if (!fromPattern.test(from || '')) problems.push(`From "${from}" is not the charge point's ${scheme} endpoint`);

    const content = body ? body.children : [];
    const elementName = action[0].toLowerCase() + action.slice(1) + 'Request';
    let values = null;
    if (content.length !== 1 || content[0].uri !== schema.tns || content[0].local !== elementName) {
        problems.push(`the body is not one ${elementName} of ${schema.tns}`);
    } else {
        problems.push(...checkElement(schema, content[0], schema.elements[elementName], elementName));
        values = toObject(content[0]);
    }
    return { header: fields, body: values, problems };
}

// The operations of the WSDL's port type, each checked and answered alike.
const operations = [...wsdlText.matchAll(/<wsdl:operation name="(\w+)">\s*<soap12:operation/g)].map((m) => m[1]);
const port = {};
for (const action of operations) {
    port[action] = (args, callback, headers, req) => {
        const { header, body, problems } = checkRequest(action, req.centralXml || '', req);
        if (problems.length) {
            log({ event: 'invalid', action, header, body, problems });
            callback({ Fault: { Code: { Value: 'soap:Sender' }, Reason: { Text: problems.join('; ') }, statusCode: 500 } });
            return;
        }
        log({ event: 'request', action, tls: !!opts.tls, header, body });
        const answer = scriptedAnswer(action);
        if (answer.silent) {
            log({ event: 'silent', action });
            req.socket.destroy();
            return;
        }
        if (answer.fault) {
            log({ event: 'fault', action, reason: answer.fault });
            callback({ Fault: { Code: { Value: 'soap:Receiver' }, Reason: { Text: answer.fault }, statusCode: 500 } });
            return;
        }
        log({ event: 'answer', action, answer });
        callback(answer);
    };
}

const server = opts.tls
    ? https.createServer({ cert: fs.readFileSync(opts.tls.cert), key: fs.readFileSync(opts.tls.key) })
    : http.createServer();
server.on('request', (req, res) => {
    if (!req.url.startsWith(opts.path)) {
        res.statusCode = 404;
        res.end();
    }
});
server.on('tlsClientError', (err) => log({ event: 'tlsError', error: err.message }));
const service = { CentralSystemService: { CentralSystemServiceSoap12: port } };
server.listen(opts.port, opts.host, () => {
    const soapServer = soap.listen(server, {
        path: opts.path, services: service, xml: wsdlText, forceSoap12Headers: true, enableChunkedEncoding: false,
    });
    soapServer.log = (type, data, req) => {
        if (type === 'received') {
            req.centralXml = data;
            const id = /<(?:\w+:)?MessageID[^>]*>([^<]*)</.exec(data);
            if (id) req.centralMessageId = id[1];
        }
        if (type === 'error') log({ event: 'error', error: String(data && data.message ? data.message : data) });
    };
    // Answers carry the addressing of a reply to the request.
    soapServer.addSoapHeader((methodName, args, headers, req) =>
        `<wsa:Action xmlns:wsa="${WSA}">/${methodName}Response</wsa:Action>` +
        (req.centralMessageId ? `<wsa:RelatesTo xmlns:wsa="${WSA}">${req.centralMessageId}</wsa:RelatesTo>` : ''));
    log({ event: 'listening', port: server.address().port, tls: !!opts.tls, operations });
});
process.on('SIGTERM', () => process.exit(0));
