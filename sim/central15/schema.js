'use strict';
// The XML schema of a WSDL, read into plain tables, and a strict check of an
// instance element against it: element order and counts of each sequence,
// enumerations, lengths, integers and dates, attributes of simple content.
// Only what the OCPP 1.5 schemas use is understood; anything else in an
// instance is reported, never skipped.
const sax = require('sax');

const XSD = 'http://www.w3.org/2001/XMLSchema';

// Parses XML text into a tree of {uri, local, attrs: {name: value}, children, text}.
function parseXml(text) {
    const parser = sax.parser(true, { xmlns: true, position: false });
    const root = { children: [] };
    const stack = [root];
    let error = null;
    parser.onerror = (e) => {
        error = e;
        parser.error = null;
        parser.resume();
    };
    parser.onopentag = (n) => {
        const attrs = {};
        for (const a of Object.values(n.attributes)) {
            if (a.prefix === 'xmlns' || a.name === 'xmlns') continue;
            attrs[a.uri ? `{${a.uri}}${a.local}` : a.local] = a.value;
        }
        const node = { uri: n.uri, local: n.local, ns: n.ns, attrs, children: [], text: '' };
        stack[stack.length - 1].children.push(node);
        stack.push(node);
    };
    parser.onclosetag = () => stack.pop();
    parser.ontext = (t) => {
        stack[stack.length - 1].text += t;
    };
    parser.oncdata = parser.ontext;
    parser.write(text).close();
    if (error) throw new Error('not well-formed XML: ' + String(error.message).split('\n')[0]);
    if (root.children.length !== 1) throw new Error('not one root element');
    return root.children[0];
}

// A qualified name of the schema ("tns:IdToken") as {uri, local}.
function qname(node, text) {
    const [prefix, local] = text.includes(':') ? text.split(':') : ['', text];
    return { uri: node.ns[prefix] || '', local };
}

// The schema of a WSDL text: simple types, complex types and top-level
// elements of its (one) target namespace.
function readSchema(wsdlText) {
    const tree = parseXml(wsdlText);
    const schema = { tns: '', simple: {}, complex: {}, elements: {} };
    const find = (node, local) => {
        if (node.uri === XSD && node.local === local) return node;
        for (const c of node.children) {
            const f = find(c, local);
            if (f) return f;
        }
        return null;
    };
    const xs = find(tree, 'schema');
    schema.tns = xs.attrs.targetNamespace;
    const kids = (node, local) => node.children.filter((c) => c.uri === XSD && c.local === local);
    const simpleType = (node) => {
        const r = kids(node, 'restriction')[0];
        const def = { base: qname(node, r.attrs.base), enums: null, maxLength: null };
        for (const e of kids(r, 'enumeration')) (def.enums = def.enums || []).push(e.attrs.value);
        for (const m of kids(r, 'maxLength')) def.maxLength = Number(m.attrs.value);
        return def;
    };
    const element = (node) => ({
        name: node.attrs.name,
        type: node.attrs.type ? qname(node, node.attrs.type) : null,
        inline: kids(node, 'complexType').length ? complexType(kids(node, 'complexType')[0]) : null,
        min: node.attrs.minOccurs === undefined ? 1 : Number(node.attrs.minOccurs),
        max: node.attrs.maxOccurs === 'unbounded' ? Infinity : node.attrs.maxOccurs === undefined ? 1 : Number(node.attrs.maxOccurs),
    });
    function complexType(node) {
        const def = { sequence: [], simpleContent: null, attributes: [] };
        for (const s of kids(node, 'sequence')) def.sequence = kids(s, 'element').map(element);
        for (const sc of kids(node, 'simpleContent')) {
            const ext = kids(sc, 'extension')[0];
            def.simpleContent = qname(ext, ext.attrs.base);
            def.attributes = kids(ext, 'attribute').map((a) => ({ name: a.attrs.name, type: qname(a, a.attrs.type), required: a.attrs.use === 'required' }));
        }
        return def;
    }
    for (const s of kids(xs, 'simpleType')) schema.simple[s.attrs.name] = simpleType(s);
    for (const c of kids(xs, 'complexType')) schema.complex[c.attrs.name] = complexType(c);
    for (const e of kids(xs, 'element')) schema.elements[e.attrs.name] = element(e);
    return schema;
}

const INT = /^[+-]?\d+$/;
const DATE_TIME = /^-?\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d+)?(Z|[+-]\d{2}:\d{2})?$/;

// Problems of a text as a value of a simple type ([] when none).
function checkValue(schema, type, text, where) {
    if (type.uri === XSD) {
        switch (type.local) {
        case 'string':
        case 'anyURI':
            return [];
        case 'int': {
            if (!INT.test(text) || Number(text) < -2147483648 || Number(text) > 2147483647) return [`${where}: "${text}" is not an int`];
            return [];
        }
        case 'boolean':
            return ['true', 'false', '1', '0'].includes(text) ? [] : [`${where}: "${text}" is not a boolean`];
        case 'dateTime':
            return DATE_TIME.test(text) && !Number.isNaN(Date.parse(text)) ? [] : [`${where}: "${text}" is not a dateTime`];
        default:
            return [`${where}: type xsd:${type.local} is not known here`];
        }
    }
    const def = type.uri === schema.tns && schema.simple[type.local];
    if (!def) return [`${where}: no simple type ${type.local}`];
    const problems = checkValue(schema, def.base, text, where);
    if (def.enums && !def.enums.includes(text)) problems.push(`${where}: "${text}" is not a ${type.local} (${def.enums.join(', ')})`);
    if (def.maxLength !== null && [...text].length > def.maxLength) problems.push(`${where}: "${text}" is longer than ${def.maxLength}`);
    return problems;
}

// Problems of an instance element against its declaration ([] when none).
function checkElement(schema, node, decl, where) {
    const complex = decl.inline || (decl.type && decl.type.uri === schema.tns && schema.complex[decl.type.local]);
    const problems = [];
    if (!complex) {
        if (node.children.length) problems.push(`${where}: element content where a value belongs`);
        return problems.concat(checkValue(schema, decl.type, node.text, where));
    }
    const declared = new Set(complex.attributes.map((a) => a.name));
    for (const name of Object.keys(node.attrs)) {
        if (!declared.has(name) && !name.startsWith('{')) problems.push(`${where}: attribute ${name} is not in the schema`);
    }
    for (const a of complex.attributes) {
        if (node.attrs[a.name] !== undefined) problems.push(...checkValue(schema, a.type, node.attrs[a.name], `${where}@${a.name}`));
        else if (a.required) problems.push(`${where}: attribute ${a.name} missing`);
    }
    if (complex.simpleContent) {
        if (node.children.length) problems.push(`${where}: element content where a value belongs`);
        return problems.concat(checkValue(schema, complex.simpleContent, node.text, where));
    }
    if (node.text.trim() !== '') problems.push(`${where}: text "${node.text.trim()}" between elements`);
    let i = 0;
    for (const d of complex.sequence) {
        let n = 0;
        while (i < node.children.length && node.children[i].local === d.name && node.children[i].uri === schema.tns) {
            problems.push(...checkElement(schema, node.children[i], d, `${where}/${d.name}`));
            ++i;
            ++n;
        }
        if (n < d.min) problems.push(`${where}: ${d.name} missing`);
        if (n > d.max) problems.push(`${where}: ${d.name} ${n} times, at most ${d.max}`);
    }
    for (; i < node.children.length; ++i) {
        const c = node.children[i];
        problems.push(`${where}: {${c.uri}}${c.local} is not expected here`);
    }
    return problems;
}

// An element tree as a plain object: texts, "@attribute"s, "#" for the
// text beside attributes, arrays for repeated names.
function toObject(node) {
    if (!node.children.length && !Object.keys(node.attrs).length) return node.text;
    const o = {};
    for (const [k, v] of Object.entries(node.attrs)) o['@' + k] = v;
    if (!node.children.length) o['#'] = node.text;
    for (const c of node.children) {
        const v = toObject(c);
        if (o[c.local] === undefined) o[c.local] = v;
        else if (Array.isArray(o[c.local])) o[c.local].push(v);
        else o[c.local] = [o[c.local], v];
    }
    return o;
}

module.exports = { parseXml, readSchema, checkElement, checkValue, toObject };
